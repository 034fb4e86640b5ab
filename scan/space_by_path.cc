// The space by path: for each PATH, the distinct files its walk met and
// what deleting the PATH would free; for the run, what deleting every PATH
// would free.
//
// A file is freed by deleting a PATH when the walk of that PATH met at least
// as many of its names as the file has links: then every name lies below
// the PATH. Each file keeps three counts in its record (one walk's names,
// the run's names, and which of them reached the links), so the figures
// cost nothing per name. The walks come one after another, so a file's
// meetings come grouped by walk and one "last walk" number tells a walk's
// first meeting of a file from its later ones.
//
// A name must count once however often it was met, for its walk and for
// the run: a PATH given twice, a PATH inside another, a tree reached through
// a link and by its own name. A name is a directory plus an entry, so it is
// enough to know whether its directory was listed before, by this walk or
// by any (walk.cc remembers the directories): every entry of a directory
// listed again was met before.
//
// The same counts give the PATHs as a series, each with those before it,
// for nothing more per file: a walk adds the files the run meets first in
// it, and the run's count of a file's names reaches its link count in the
// walk of the first PATH that, with those before it, holds every name. A
// file with a name outside every PATH never gets there, in any row.
#include <limits>

#include "scan/scandata.h"

namespace scan {

namespace {

const std::uint32_t freed_by_walk = 1;
const std::uint32_t freed_by_run = 2;

// Sizes add up to at most the largest 64-bit value, as the summary's do.
void add_size(std::int64_t& total, std::int64_t size) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  if (size <= 0) return;
  total = size > max - total ? max : total + size;
}

void count_name(std::uint32_t& names) {
  if (names != std::numeric_limits<std::uint32_t>::max()) ++names;
}

bool reaches(std::uint32_t names, std::int32_t links) {
  return links <= 0 || names >= static_cast<std::uint32_t>(links);
}

}  // namespace

void _scandata::scan_paths(const std::vector<native_string>& paths) {
  for (const native_string& path : paths) {
    space.paths.emplace_back();
    const std::int64_t files_before = files_total;
    scan_directory(path);
    _scandata_path_space& row = space.paths.back();
    row.files = files_total - files_before;
    // What the run frees so far is what this PATH frees with those before.
    row.freed_with_those_before_files = space.freed_files;
    row.freed_with_those_before = space.freed;
    end_walk_of_holders();
  }
  settle_shared_extents();
}

void _scandata::note_holder(const _scandata_space_tally& tally) {
  if (holder_ == no_holder) return;
  const auto walk = static_cast<std::uint32_t>(space.paths.size());
  if (tally.freed & freed_by_run) shared_.freed_by_run(holder_, walk);
  // A name the walk met before leaves the tally as it was.
  if (walk == 0 || tally.last_walk != walk) return;
  _scandata_shared_holder& holder = holders_[holder_];
  if (holder.last_walk != walk) {
    holder.last_walk = walk;
    holders_met_.push_back(holder_);
  }
  holder.freed_by_walk = (tally.freed & freed_by_walk) != 0;
}

void _scandata::end_walk_of_holders() {
  const auto walk = static_cast<std::uint32_t>(space.paths.size());
  for (const std::uint32_t holder : holders_met_)
    shared_.met(holder, walk, holders_[holder].freed_by_walk);
  holders_met_.clear();
}

void _scandata::note_chunk(const _scandata_space_tally& tally) {
  if (space.paths.empty()) return;
  const auto walk = static_cast<std::uint32_t>(space.paths.size());
  // A name the walk met before leaves the tally as it was.
  if (tally.last_walk == walk)
    chunks_.met_by_walk(chunk_, chunk_inode_, walk, (tally.freed & freed_by_walk) != 0);
  if (tally.freed & freed_by_run) chunks_.freed_by_run(chunk_, chunk_inode_, walk);
}

void _scandata::note_chunk_directory() {
  if (!space.enabled || space.paths.empty()) return;
  // A directory has one name: freed wherever met.
  const auto walk = static_cast<std::uint32_t>(space.paths.size());
  chunks_.met_by_walk(chunk_, chunk_inode_, walk, true);
  chunks_.freed_by_run(chunk_, chunk_inode_, walk);
}

void _scandata::settle_shared_extents() {
  const auto walks_settled = static_cast<std::uint32_t>(space.paths.size());
  if (!shared_.empty())
    add_shared_totals(holder_names_.empty() ? shared_.settle(walks_settled)
                                            : settle_shared_rows(walks_settled));
  if (chunks_.empty()) return;
  const shared_extent_totals chunks = chunks_.settle(walks_settled);
  // No name's allocation holds the chunks: the naive total, every name in
  // full, holds them once too, never less than the unique total.
  add_size(naive_size, chunks.unique);
  add_shared_totals(chunks);
  if (directories.depth >= 0) settle_chunk_rows();
}

void _scandata::add_shared_totals(const shared_extent_totals& totals) {
  add_size(unique_size, totals.unique);
  if (!space.enabled) return;
  add_size(space.unique_size, totals.unique);
  add_size(space.freed, totals.freed);
  std::int64_t freed_so_far = 0;
  for (std::size_t i = 0; i < space.paths.size(); ++i) {
    _scandata_path_space& path = space.paths[i];
    add_size(path.unique_size, totals.walk_unique[i]);
    add_size(path.freed, totals.walk_freed[i]);
    add_size(path.added_size, totals.walk_added[i]);
    add_size(freed_so_far, totals.walk_first_freed[i]);
    add_size(path.freed_with_those_before, freed_so_far);
  }
}

void _scandata::tally_space(const platform::entry_facts& facts, bool new_file,
                            _scandata_space_tally& tally) {
  if (space.paths.empty()) return;  // met outside scan_paths
  _scandata_path_space& path = space.paths.back();
  const auto walk = static_cast<std::uint32_t>(space.paths.size());
  const std::int64_t size = facts.*size_of_;
  if (new_file) {
    add_size(space.unique_size, size);
    ++path.added_files;
    add_size(path.added_size, size);
  }
  // A name in a directory this walk listed before was met by it already.
  if (listed_before_by_walk) return;
  if (tally.last_walk != walk) {
    tally.last_walk = walk;
    tally.walk_names = 0;
    tally.freed &= ~freed_by_walk;
    ++path.unique_files;
    add_size(path.unique_size, size);
  }
  count_name(tally.walk_names);
  if (!(tally.freed & freed_by_walk) && reaches(tally.walk_names, facts.links)) {
    tally.freed |= freed_by_walk;
    add_size(path.freed, size);
  }
  if (listed_before_by_run) return;
  count_name(tally.run_names);
  if (!(tally.freed & freed_by_run) && reaches(tally.run_names, facts.links)) {
    tally.freed |= freed_by_run;
    ++space.freed_files;
    add_size(space.freed, size);
  }
}

void _scandata::tally_directory_space(std::int64_t allocated, bool new_to_run,
                                      bool new_to_walk) {
  if (space.paths.empty()) return;  // met outside scan_paths
  // A directory has one name, so it is freed wherever it is met: deleting
  // the PATH whose walk holds that name deletes it, and deleting every PATH
  // deletes every directory met, each once.
  _scandata_path_space& path = space.paths.back();
  if (new_to_run) {
    add_size(space.unique_size, allocated);
    add_size(space.freed, allocated);
    add_size(path.added_size, allocated);
  }
  if (!new_to_walk) return;
  add_size(path.unique_size, allocated);
  add_size(path.freed, allocated);
}

std::int64_t held_outside(const _scandata_space& space) {
  // Never below 0, even for a file whose size changed between its names.
  return space.freed < space.unique_size ? space.unique_size - space.freed : 0;
}

}  // namespace scan
