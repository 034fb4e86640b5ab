// The open-addressing table of identities: linear probing from a slot
// picked by Fibonacci hashing of the file index's group and the volume's
// number, in one of the parts the same hash picks.
#include "scan/identity_table.h"

namespace scan {
namespace {

const std::size_t kFirstSlots = 16;
// Up to this many volume numbers are found by a look along them.
const std::size_t kVolumesLookedAlong = 16;

}  // namespace

std::uint32_t identity_table::known_volume_number(const platform::file_identity& id) const {
  const volume_part wanted{id.volume, id.key_high};
  if (last_volume_ != 0 && volumes_[last_volume_ - 1] == wanted) return last_volume_;
  if (volumes_.size() > kVolumesLookedAlong) {
    const auto found = volume_numbers_.find(wanted);
    return found != volume_numbers_.end() ? found->second : 0;
  }
  for (std::size_t i = 0; i < volumes_.size(); ++i)
    if (volumes_[i] == wanted) return static_cast<std::uint32_t>(i + 1);
  return 0;
}

std::uint32_t identity_table::volume_number(const platform::file_identity& id, bool add) {
  std::uint32_t number = known_volume_number(id);
  if (number == 0 && add) {
    volumes_.push_back(volume_part{id.volume, id.key_high});
    number = static_cast<std::uint32_t>(volumes_.size());
    if (volumes_.size() > kVolumesLookedAlong) {
      if (volume_numbers_.empty())
        for (std::size_t i = 0; i + 1 < volumes_.size(); ++i)
          volume_numbers_.emplace(volumes_[i], static_cast<std::uint32_t>(i + 1));
      volume_numbers_.emplace(volumes_.back(), number);
    }
  }
  if (number != 0) last_volume_ = number;
  return number;
}

std::uint64_t identity_table::hash(std::int64_t key, std::uint32_t volume) {
  // The golden ratio's multiplier spreads runs of indexes (the usual way
  // a file system hands them out) over the whole table, a group of
  // kGroupSlots neighbours at a time: the files of one directory, mostly
  // numbered in a row, then share cache lines and pages of the table.
  return ((static_cast<std::uint64_t>(key) / kGroupSlots) ^
          (static_cast<std::uint64_t>(volume) << 48)) *
         0x9E3779B97F4A7C15ull;
}

std::size_t identity_table::place(const part& in, std::uint64_t hash, std::int64_t key,
                                  std::uint32_t volume) {
  const std::size_t mask = in.slots.size() - 1;
  // The group's first slot, then the index's own place in the group.
  std::size_t at = static_cast<std::size_t>((hash << kPartBits) >> in.shift) & ~(kGroupSlots - 1);
  at |= static_cast<std::size_t>(static_cast<std::uint64_t>(key) % kGroupSlots);
  while (in.slots[at].volume != 0 && (in.slots[at].key != key || in.slots[at].volume != volume))
    at = (at + 1) & mask;
  return at;
}

const std::uint32_t* identity_table::find(const platform::file_identity& id) const {
  const std::uint32_t volume = known_volume_number(id);
  if (volume == 0) return nullptr;
  const std::uint64_t h = hash(id.key, volume);
  const part& in = parts_[h >> (64 - kPartBits)];
  if (in.size == 0) return nullptr;
  const slot& found = in.slots[place(in, h, id.key, volume)];
  return found.volume != 0 ? &found.value : nullptr;
}

std::uint32_t* identity_table::find(const platform::file_identity& id) {
  return const_cast<std::uint32_t*>(static_cast<const identity_table&>(*this).find(id));
}

identity_table::inserted identity_table::insert(const platform::file_identity& id,
                                                std::uint32_t value) {
  const std::uint32_t volume = volume_number(id, true);
  const std::uint64_t h = hash(id.key, volume);
  part& in = parts_[h >> (64 - kPartBits)];
  if ((in.size + 1) * 4 > in.slots.size() * 3) grow(in);
  slot& at = in.slots[place(in, h, id.key, volume)];
  if (at.volume != 0) return {&at.value, false};
  at = slot{id.key, volume, value};
  ++in.size;
  ++size_;
  return {&at.value, true};
}

void identity_table::grow(part& p) {
  static_assert(kFirstSlots % kGroupSlots == 0, "a part holds whole groups");
  std::vector<slot> old(p.slots.empty() ? kFirstSlots : p.slots.size() * 2, slot{0, 0, 0});
  old.swap(p.slots);
  p.shift = 64;
  for (std::size_t n = p.slots.size(); n > 1; n >>= 1) --p.shift;
  for (const slot& s : old)
    if (s.volume != 0) p.slots[place(p, hash(s.key, s.volume), s.key, s.volume)] = s;
}

}  // namespace scan
