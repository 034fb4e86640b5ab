// The examination of one entry of a walk, and its tally.
#include <algorithm>
#include <limits>

#include "base/error_codes.h"
#include "fs/system_path.h"
#include "scan/scandata.h"

namespace scan {

namespace {

// Adds a file's size to a total. Sparse files can claim sizes whose sum
// leaves the 64-bit range; the total then stays at the end of the range
// instead of wrapping to a negative number.
std::int64_t saturating_add(std::int64_t total, std::int64_t size) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  if (size > 0 && total > max - size) return max;
  if (size < 0 && total < min - size) return min;
  return total + size;
}

// The bytes of a file's allocation that its map says are not its own
// blocks: its shared extents (which count by their ranges), its data kept
// inline, and what compressing its own extents saved.
std::uint64_t not_own(const std::vector<platform::mapped_extent>& extents) {
  std::uint64_t elsewhere = 0;
  for (const platform::mapped_extent& extent : extents) {
    if (extent.inline_data) {
      // In the inode or the metadata: the sectors the allocation gives it
      // are none of its own.
      elsewhere += (extent.length + 511) / 512 * 512;
    } else if (extent.shared) {
      // Counted apart, by its range.
      elsewhere += extent.length;
    } else if (extent.encoded && extent.on_disk < extent.length) {
      // Its own, but smaller on disk than in the file.
      elsewhere += extent.length - extent.on_disk;
    }
  }
  return elsewhere;
}

}  // namespace

bool _scandata::examine_listed(platform::walk_cursor& cursor, const native_string& path,
                               const platform::listed_entry& entry, platform::entry_facts& facts) {
  if (!examined(platform::examine_entry(cursor, path, entry, facts), facts, path)) return false;
  // A link of several names is one kind at all of them, or its names and
  // space would be counted apart.
  facts.is_directory = platform::counts_as_directory(facts);
  return true;
}

bool _scandata::examined(platform::result<platform::examination> examination,
                         const platform::entry_facts& facts, const native_string& path) {
  platform::error_code error = examination.error;
  switch (examination.outcome) {
    case platform::examination::examined:
      // A file whose reading says it has no name left was unlinked while
      // it was read: it is gone, as if the reading had come a moment
      // later, and counts as not found. (A directory's count is not its
      // names, and is never read.)
      if (facts.is_directory || facts.links > 0) return true;
      error = platform::no_such_entry;
      scan_error(error, quoted_message("Error finding ", path));
      return false;
    case platform::examination::not_found:
      scan_error(error, quoted_message("Error finding ", path));
      return false;
    case platform::examination::not_opened:
      scan_error(error, quoted_message("Error opening ", path));
      return false;
  }
  return false;
}

void _scandata::record_entry(native_string_view path, const platform::entry_facts& read,
                             const _scandata_entry_place* place) {
  using platform::entry_kind;
  const platform::entry_facts& facts = shared_extents_on_ ? link_part(read, place) : read;
  if (shared_extents_on_) note_inode(facts, place);
  const bool symlink = facts.kind == entry_kind::symlink;
  const bool reparse = facts.kind == entry_kind::reparse;
  if (facts.is_directory) {
    ++(symlink ? dirs_symlink : reparse ? dirs_reparse : dirs_normal);
    if (chunk_ != inode_chunks::none) {
      note_chunk_directory();
      // A link is never listed: its inode lies in the row of its name. A
      // directory's lies in its own row, once listed (directory_row).
      if (symlink) note_chunk_in_rows(nullptr);
    }
    // Counted by length, a directory adds nothing but its kind. Counted by
    // allocation, it takes space of its own, except a mount point (or
    // another reparse point), whose space is that of what it leads to: a
    // walk that never enters it must not count it, as du -x does not.
    // A link to a directory has one name here: one of several is counted
    // as a file (examine_listed).
    if (measure_ == size_measure::allocated && !reparse) {
      count_directory(facts, !listed_before_by_walk);
      // The naive total counts every name in full, a link kept in the
      // metadata too.
      naive_size = saturating_add(naive_size, read.allocated - facts.allocated);
    }
    return;
  }
  ++(symlink ? files_symlink : reparse ? files_reparse : files_normal);

  naive_size = saturating_add(naive_size, read.*size_of_);
  _scandata_hardlinkcount_info& by_links = hardlinkcounts[facts.links];
  ++by_links.file_count;
  if (facts.links == 1 && !keeps_single_link_files()) {
    // Its one name is met again only where its directory is listed again;
    // its space-by-path counts start afresh, as those of that name alone.
    const bool new_file = !listed_before_by_run;
    const platform::entry_facts& counted =
        shared_extents_on_ ? own_part(facts, new_file, place) : facts;
    if (new_file) count_new_file(counted, by_links);
    _scandata_space_tally alone;
    if (space.enabled) {
      tally_space(counted, new_file, alone);
      if (shared_extents_on_) note_holder(alone);
      if (chunk_ != inode_chunks::none) note_chunk(alone);
    }
    tally_rows(counted.*size_of_);
    if (holder_ != no_holder) note_holder_in_rows(nullptr);
    if (chunk_ != inode_chunks::none) note_chunk_in_rows(nullptr);
    return;
  }

  // One lookup serves both the new-file test and the insertion of the name.
  // The file's first name decides whether its names are kept.
  const bool keeps_names = keeps_names_for(facts.links);
  const file_table::found file =
      filenames_by_key.insert(facts.identity, keeps_names || space.enabled);
  _scandata_fileinfo* record = file.record;
  const platform::entry_facts& counted =
      shared_extents_on_ ? own_part(facts, file.added, place) : facts;
  if (file.added) {
    count_new_file(counted, by_links);
    if (keeps_names) record->names = std::make_unique<std::vector<native_string>>();
  }
  if (file.rows) {
    tally_rows(counted, *file.rows);
    if (holder_ != no_holder) note_holder_in_rows(file.rows);
    if (chunk_ != inode_chunks::none) note_chunk_in_rows(file.rows);
  }
  if (!record) return;
  if (space.enabled) {
    tally_space(counted, file.added, record->space);
    if (shared_extents_on_) note_holder(record->space);
    if (chunk_ != inode_chunks::none) note_chunk(record->space);
  }
  if (record->names) record->names->emplace_back(path);
}

const platform::entry_facts& _scandata::own_part(const platform::entry_facts& facts,
                                                 bool new_file,
                                                 const _scandata_entry_place* place) {
  holder_ = no_holder;
  // Only a regular file's data can be shared, inline or compressed; one
  // without blocks has none (and is never mapped).
  if (facts.is_directory || facts.kind != platform::entry_kind::normal || facts.allocated <= 0)
    return facts;
  // A file met before is a holder or not since its first meeting; one met
  // before under a name not known as such (a directory without identity)
  // is not read twice either.
  const std::uint32_t* known = holders_.empty() ? nullptr : holder_of_.find(facts.identity);
  if (!known && new_file && place) {
    const _scandata_volume& volume = volume_of(facts.identity.volume, *place);
    if (volume.extents.data_in_metadata) metadata_not_counted_ = true;
    // Less than a block can only be data kept inline, wherever it is.
    const auto allocated = static_cast<std::uint64_t>(facts.allocated);
    if (!volume.extents.shares && allocated >= volume.extents.block_size) return facts;
    extents_.clear();
    const platform::result<> read = platform::read_extent_map(
        place->cursor, place->path, place->entry, facts, volume.extents, extents_);
    if (!read.outcome) {
      // It counts as -A counts it.
      scan_error(read.error, quoted_message("Error reading extents of ", place->path));
      return facts;
    }
    const std::uint64_t elsewhere = not_own(extents_);
    if (elsewhere == 0) return facts;
    const std::uint32_t holder = shared_.add_holder();
    add_ranges(holder, volume.addresses);
    _scandata_shared_holder made;
    made.own = elsewhere >= allocated ? 0 : static_cast<std::int64_t>(allocated - elsewhere);
    holders_.push_back(made);
    known = holder_of_.insert(facts.identity, holder).value;
  }
  if (!known) return facts;
  holder_ = *known;
  own_facts_ = facts;
  own_facts_.allocated = holders_[holder_].own;
  return own_facts_;
}

void _scandata::add_ranges(std::uint32_t holder, std::uint32_t addresses) {
  for (const platform::mapped_extent& extent : extents_) {
    if (extent.encoded && extent.on_disk_at_least) compressed_at_least_ = true;
    if (!extent.shared || extent.inline_data) continue;
    if (extent.encoded) {
      shared_.add_encoded(holder, addresses, extent.physical, extent.on_disk);
    } else {
      shared_.add_range(holder, addresses, extent.physical, extent.on_disk);
    }
  }
}

const platform::entry_facts& _scandata::link_part(const platform::entry_facts& facts,
                                                  const _scandata_entry_place* place) {
  if (facts.kind != platform::entry_kind::symlink || facts.allocated <= 0 || !place)
    return facts;
  // A link cannot be opened to be mapped; btrfs keeps every link's target
  // inline in its metadata.
  if (!volume_of(facts.identity.volume, *place).extents.data_in_metadata) return facts;
  metadata_not_counted_ = true;
  own_facts_ = facts;
  own_facts_.allocated = 0;
  return own_facts_;
}

const _scandata_volume& _scandata::volume_of(std::uint64_t device,
                                             const _scandata_entry_place& place) {
  if (const _scandata_volume* known = known_volume(device)) return *known;
  _scandata_volume volume;
  volume.device = device;
  volume.extents = platform::read_volume_extents(place.cursor, place.path);
  // Volumes of one file system (btrfs's subvolumes) share one set of
  // addresses; every other set is apart.
  const auto same = std::find(address_spaces_.begin(), address_spaces_.end(),
                              volume.extents.addresses);
  volume.addresses = static_cast<std::uint32_t>(same - address_spaces_.begin());
  if (same == address_spaces_.end()) address_spaces_.push_back(volume.extents.addresses);
  volumes_.push_back(volume);
  return volumes_.back();
}

const _scandata_volume* _scandata::known_volume(std::uint64_t device) const {
  for (const _scandata_volume& known : volumes_)
    if (known.device == device) return &known;
  return nullptr;
}

void _scandata::note_inode(const platform::entry_facts& facts,
                           const _scandata_entry_place* place) {
  chunk_ = inode_chunks::none;
  if (!place) return;
  // An entry of the walk's own directory: the walk's place is that
  // directory, and tells its volume. (Where every entry there failed, the
  // place is deeper, perhaps on another volume: the end of the walk
  // settles it.)
  if (top_pending_ && place->path.size() - place->entry.name_length <= top_path_length_ + 1)
    note_top_inode(&volume_of(top_identity_.volume, *place));
  // A mount point's inode is the other file system's, which the walk never
  // enters (a FIFO, socket or device node, reparse too, is an inode here);
  // index 0 is no inode.
  if ((facts.is_directory && facts.kind == platform::entry_kind::reparse) ||
      facts.identity.key <= 0)
    return;
  // A directory may be the top of a volume of its own (a btrfs subvolume):
  // only a volume already asked serves, never the one of the place. A file
  // lies on its directory's.
  const _scandata_volume* volume =
      facts.is_directory ? known_volume(facts.identity.volume)
                         : &volume_of(facts.identity.volume, *place);
  if (!volume || volume->extents.inode_chunk_bytes == 0) return;
  chunk_inode_ = static_cast<std::uint64_t>(facts.identity.key);
  chunk_ = chunks_.chunk_of(facts.identity.volume, chunk_inode_, volume->extents.inode_chunk_bytes);
  chunks_.met(chunk_, chunk_inode_, static_cast<std::uint32_t>(space.paths.size()));
}

void _scandata::note_top_inode(const _scandata_volume* volume) {
  top_pending_ = false;
  if (!volume || volume->extents.inode_chunk_bytes == 0 || top_identity_.key <= 0) return;
  const auto inode = static_cast<std::uint64_t>(top_identity_.key);
  const auto walk = static_cast<std::uint32_t>(space.paths.size());
  const std::uint32_t chunk =
      chunks_.chunk_of(top_identity_.volume, inode, volume->extents.inode_chunk_bytes);
  chunks_.met(chunk, inode, walk);
  // Deleting the PATH deletes its own directory.
  if (space.enabled && walk != 0) {
    chunks_.met_by_walk(chunk, inode, walk, true);
    chunks_.freed_by_run(chunk, inode, walk);
  }
  _scandata_directories& rows = directories;
  if (rows.depth >= 0 && rows.rows.size() > rows.walk_rows) {
    const auto top = static_cast<std::uint32_t>(rows.walk_rows);
    chunk_in_rows(chunk, inode, top, top);
  }
}

void _scandata::count_new_file(const platform::entry_facts& facts,
                               _scandata_hardlinkcount_info& by_links) {
  ++unique_files;
  ++by_links.distinct_files;
  unique_size = saturating_add(unique_size, facts.*size_of_);
  // Only a listing of the count reads the order of its files.
  if (keeps_names_for(facts.links)) by_links.file_ids.push_back(facts.identity);
}

void _scandata::measure_sizes(size_measure measure) {
  measure_ = measure;
  size_of_ = measure == size_measure::allocated ? &platform::entry_facts::allocated
                                                : &platform::entry_facts::size;
}

void _scandata::count_directory(const platform::entry_facts& facts, bool new_to_walk) {
  naive_size = saturating_add(naive_size, facts.allocated);
  // A directory has one name, but a PATH's own directory is met without
  // one, and again as an entry when another PATH holds it; its identity
  // tells. Unknown (index 0, as some file systems give every file), it
  // counts as new.
  const bool new_to_run =
      facts.identity.key == 0 || counted_directories_.insert(facts.identity, 0).added;
  if (new_to_run) unique_size = saturating_add(unique_size, facts.allocated);
  if (space.enabled) tally_directory_space(facts.allocated, new_to_run, new_to_walk);
  if (directories.depth >= 0) directory_in_rows(new_to_walk ? facts.allocated : 0);
}

void _scandata::count_top_directory(const native_string& path) {
  platform::entry_facts facts;
  // A PATH that cannot be read, or is no directory, adds nothing here: its
  // walk says why.
  if (platform::examine_path(platform::system_path(path), facts).outcome !=
          platform::examination::examined ||
      !facts.is_directory)
    return;
  count_directory(facts, true);
  // Its inode chunk waits for its volume.
  if (shared_extents_on_) {
    top_pending_ = true;
    top_identity_ = facts.identity;
    top_path_length_ = path.size();
  }
}

bool _scandata::keeps_names_for(std::int32_t links) const {
  return keep_all_names || std::find(listed_link_counts.begin(), listed_link_counts.end(),
                                     links) != listed_link_counts.end();
}

const std::vector<native_string>& kept_names(const _scandata_fileinfo* file) {
  static const std::vector<native_string> none;
  return file && file->names ? *file->names : none;
}

const char* kind_name(platform::entry_kind kind) {
  switch (kind) {
    case platform::entry_kind::symlink:
      return "symlink";
    case platform::entry_kind::reparse:
      return "reparse";
    case platform::entry_kind::normal:
      break;
  }
  return "normal";
}

}  // namespace scan
