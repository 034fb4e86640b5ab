// A map from file identities to 32-bit values, for the many files and
// directories a run must remember: one open-addressing table of 16-byte
// slots, nothing allocated per entry.
//
// A slot holds the file index, a small number standing for the volume (the
// volumes of a run are few, so each is stored once) and the value. The high
// half of a 128-bit file index (file_identity::key_high) goes with the
// volume into that number: it is 0 on all but a few file systems, so there
// it costs nothing, and where it is not, files of one directory mostly
// share it. Each of
// 64 parts of the table, picked by the hash, doubles on its own when three
// quarters of its slots are taken: it costs 21 to 43 bytes per identity, 32
// on average, where a node of a std::map of the same pair costs 64 and more;
// and while a part moves to its new slots, the old ones of that part alone
// are held, not a whole second table.
#ifndef TWINFIND_SCAN_IDENTITY_TABLE_H_
#define TWINFIND_SCAN_IDENTITY_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "fs/filesystem.h"

namespace scan {

class identity_table {
 public:
  // The value of `id`, or null when the table does not hold it. Valid until
  // the next insert.
  std::uint32_t* find(const platform::file_identity& id);
  const std::uint32_t* find(const platform::file_identity& id) const;

  // Adds `id` with `value` unless it is there already. Either way returns
  // the place of its value (valid until the next insert) and whether it was
  // added.
  struct inserted {
    std::uint32_t* value;
    bool added;
  };
  inserted insert(const platform::file_identity& id, std::uint32_t value);

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Calls `visit(identity, value)` for every identity held, in no
  // particular order.
  template <typename visitor_type>
  void for_each(visitor_type&& visit) const {
    for (const part& p : parts_)
      for (const slot& s : p.slots)
        if (s.volume != 0) {
          const volume_part& v = volumes_[s.volume - 1];
          visit(platform::file_identity{v.volume, s.key, v.key_high}, s.value);
        }
  }

 private:
  struct slot {
    std::int64_t key;
    std::uint32_t volume;  // 1 + the volume's place in `volumes_`; 0: a free slot
    std::uint32_t value;
  };

  // What a slot's volume number stands for.
  struct volume_part {
    std::uint64_t volume;
    std::uint64_t key_high;
    bool operator==(const volume_part& other) const {
      return volume == other.volume && key_high == other.key_high;
    }
  };
  struct volume_part_hash {
    std::size_t operator()(const volume_part& v) const {
      return static_cast<std::size_t>((v.volume ^ (v.key_high * 0x9E3779B97F4A7C15ull)) *
                                      0xC2B2AE3D27D4EB4Full >> 17);
    }
  };
  // The number of the identity's volume and high half, from 1; 0 when it
  // is not known (and `add` false).
  std::uint32_t volume_number(const platform::file_identity& id, bool add);
  std::uint32_t known_volume_number(const platform::file_identity& id) const;
  struct part {
    std::vector<slot> slots;  // a power of two of them, or none
    std::size_t size = 0;
    unsigned shift = 0;  // 64 less the log2 of the slot count
  };
  static const unsigned kPartBits = 6;
  // Neighbouring indexes share a hash and sit side by side, in two 64-byte
  // cache lines.
  static const std::size_t kGroupSlots = 8;

  // The hash of (`key`, `volume`): its top bits pick the part, the next
  // ones the first slot to look at.
  static std::uint64_t hash(std::int64_t key, std::uint32_t volume);
  // The slot of (`key`, `volume`) in `in`, or the free slot where it would go.
  static std::size_t place(const part& in, std::uint64_t hash, std::int64_t key,
                           std::uint32_t volume);
  static void grow(part& p);

  part parts_[1u << kPartBits];
  std::size_t size_ = 0;
  std::vector<volume_part> volumes_;
  // Their numbers, once there are more than a look along `volumes_` finds
  // quickly: only where high halves differ from file to file.
  std::unordered_map<volume_part, std::uint32_t, volume_part_hash> volume_numbers_;
  std::uint32_t last_volume_ = 0;  // the number found last: runs of one volume
};

}  // namespace scan

#endif  // TWINFIND_SCAN_IDENTITY_TABLE_H_
