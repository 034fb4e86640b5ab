// The space by directory: for each directory a walk lists down to the depth
// asked for, the files of its subtree, their distinct sizes, and what
// deleting the subtree would free, all from the one scan.
//
// The rows of a walk form a tree, its PATH at the root; a directory deeper
// than the rows go belongs to the row of its nearest ancestor that has one.
// Each row first gathers only what lies in its own directories, then, when
// the walk ends, every row's figures are added into its ancestors once.
// A row costs its path and a record of 64 bytes.
//
// A file of one link adds its size to the row of its one name. A file of
// several links must count once in every row that holds any of its names,
// and in no other: the walk meets directories in pre-order (a directory's
// files before its subdirectories, each subtree whole before the next), so
// the names of a file held by one subtree come one after another, and
// adding its size at every name and taking it back at the lowest common row
// of each name and the one before leaves it counted exactly once in every
// subtree holding any of them. That needs only the row of the file's last
// name. Freed, the file counts in the lowest common row of all its names
// (and so in every row above) once the walk met as many of its names as it
// has links: then no name lies outside that row's subtree.
//
// Names are counted as the space by path counts them, each once per walk:
// a name in a directory this walk listed before was met already. A file's
// counts start afresh with each walk, so a PATH given twice or inside
// another has rows of its own with the figures of its own walk. They cost
// twelve bytes for each file of several links, apart from its record
// (file_table.cc), and nothing for a file of one link, which is freed
// where it is met.
//
// Under -E a file holding shared extents counts its own part as any file
// counts its size; its shared ranges count once the walks are over, when
// every holder is known. Each name of a holder leaves its row (twelve
// bytes, once for names one after another in a row), and each walk the
// row that freed the holder. A piece of the ranges then counts, in each
// walk, once in every row holding a name of any of its holders, by the
// same adding and taking back over those rows in pre-order; it is freed
// in the lowest row holding the rows that freed each of its holders, when
// that walk freed every one of them and the run met at least two
// references to it. Those figures go into the rows, and up through their
// ancestors, after the rows of every walk were settled.
#include <algorithm>
#include <utility>

#include "scan/scandata.h"

namespace scan {

namespace {

// A size below 0 counts as none, as everywhere else.
std::int64_t counted(std::int64_t size) { return size > 0 ? size : 0; }

bool reaches(std::uint32_t names, std::int32_t links) {
  return links <= 0 || names >= static_cast<std::uint32_t>(links);
}

// The entries of each holder (or chunk) together, by walk, then in the
// rows' pre-order.
bool holder_row_before(const _scandata_holder_row& a, const _scandata_holder_row& b) {
  if (a.holder != b.holder) return a.holder < b.holder;
  return a.walk != b.walk ? a.walk < b.walk : a.row < b.row;
}

// Sorted so, each entry once.
void sort_each_once(std::vector<_scandata_holder_row>& entries) {
  const auto same = [](const _scandata_holder_row& a, const _scandata_holder_row& b) {
    return a.holder == b.holder && a.walk == b.walk && a.row == b.row;
  };
  std::sort(entries.begin(), entries.end(), holder_row_before);
  entries.erase(std::unique(entries.begin(), entries.end(), same), entries.end());
}

// Adds each row's part of `unique` and `freed`, and its subtree's, to the
// row. A row comes after its parent: from the last one back, each holds
// its subtree's part when it is added into its parent.
void add_to_rows(_scandata_directories& rows, std::vector<wide_figure>& unique,
                 std::vector<wide_figure>& freed) {
  for (std::size_t i = rows.rows.size(); i-- > 0;) {
    _scandata_directory_row& row = rows.rows[i];
    if (row.parent != rows.none) {
      unique[row.parent] += unique[i];
      freed[row.parent] += freed[i];
    }
    row.unique += unique[i];
    row.freeable += freed[i];
  }
}

}  // namespace

void _scandata::collect_directories(std::int32_t depth) {
  directories.depth = depth < 0 ? 0 : depth;
  filenames_by_key.keep_row_tallies();
}

void _scandata::directory_row(const platform::listed_directory& directory) {
  _scandata_directories& rows = directories;
  // The files listed since the last listing were the last directory's.
  if (rows.current != rows.none) rows.rows[rows.current].files += files_total - rows.files_counted;
  rows.files_counted = files_total;
  // Those the walk has left are no ancestors of this one: the walk enters
  // a directory only after its parent, and leaves it for good.
  while (!rows.open.empty() &&
         static_cast<std::size_t>(rows.rows[rows.open.back()].depth) >= directory.depth)
    rows.open.pop_back();
  const std::uint32_t parent = rows.open.empty() ? rows.none : rows.open.back();
  if (directory.depth > static_cast<std::size_t>(rows.depth) || rows.rows.size() >= rows.none) {
    rows.current = parent;
    directory_inode_in_rows(directory);
    return;
  }
  rows.current = static_cast<std::uint32_t>(rows.rows.size());
  _scandata_directory_row& row =
      rows.add_row(directory.complete ? native_string_view(directory.path) : native_string_view(),
                   static_cast<std::int32_t>(directory.depth));
  row.parent = parent;
  row.shown = directory.complete;
  // The directory's own space (counted by allocation) is its row's: the
  // parent's row took it when the parent listed it, and gives it over; the
  // PATH's was counted before the walk.
  const std::int64_t allocated = directory.depth == 0 ? rows.top_allocated : directory.carried;
  row.unique = allocated;
  row.freeable = allocated;
  if (parent != rows.none) {
    rows.rows[parent].unique -= allocated;
    rows.rows[parent].freeable -= allocated;
  }
  rows.open.push_back(rows.current);
  directory_inode_in_rows(directory);
}

void _scandata::directory_inode_in_rows(const platform::listed_directory& directory) {
  // The PATH's own directory waits for its volume (note_top_inode); any
  // other was met as an entry of its parent, which added its chunk where
  // it counts. Deleting the row's directory deletes it.
  if (chunks_.empty() || directory.depth == 0 || !directory.identity ||
      directory.identity->key <= 0 || directories.current == directories.none)
    return;
  const auto inode = static_cast<std::uint64_t>(directory.identity->key);
  const std::uint32_t chunk = chunks_.find(directory.identity->volume, inode);
  if (chunk != inode_chunks::none)
    chunk_in_rows(chunk, inode, directories.current, directories.current);
}

void _scandata::note_chunk_in_rows(const _scandata_row_tally* tally) {
  _scandata_directories& rows = directories;
  if (!rows.collecting() || listed_before_by_walk) return;
  // Freed as the file's size is: a file of one name where it is, one of
  // several where its names met its link count.
  std::uint32_t freed_row = rows.none;
  if (!tally) {
    freed_row = rows.current;
  } else if (tally->names & _scandata_row_tally::freed_bit) {
    freed_row = tally->common_row;
  }
  chunk_in_rows(chunk_, chunk_inode_, rows.current, freed_row);
}

void _scandata::chunk_in_rows(std::uint32_t chunk, std::uint64_t inode, std::uint32_t row,
                              std::uint32_t freed_row) {
  if (chunk_rows_.size() <= chunk) chunk_rows_.resize(chunks_.size());
  _scandata_chunk_rows& state = chunk_rows_[chunk];
  if (state.walk != walks) {
    state.walk = walks;
    state.freed = 0;
    state.last_row = directories.none;
    state.common_row = directories.none;
  }
  if (state.last_row != row) {
    state.last_row = row;
    chunk_names_.push_back(_scandata_holder_row{chunk, walks, row});
  }
  const std::uint64_t bit = inode_chunks::bit(inode);
  if (freed_row == directories.none || (state.freed & bit) != 0) return;
  state.common_row = state.common_row == directories.none
                         ? freed_row
                         : directories.common(state.common_row, freed_row);
  state.freed |= bit;
  // Every inode freed in this walk: the lowest row holding them all frees
  // the chunk.
  if (state.freed == inode_chunks::all)
    chunks_freed_.push_back(_scandata_holder_row{chunk, walks, state.common_row});
}

void _scandata::settle_chunk_rows() {
  _scandata_directories& rows = directories;
  // Each chunk's rows together, by walk and in pre-order, a row once.
  sort_each_once(chunk_names_);
  std::vector<wide_figure> unique(rows.rows.size(), 0);
  std::vector<wide_figure> freed(rows.rows.size(), 0);
  // A whole chunk counts once in every row holding one of its inodes: added
  // at each row, taken back where it meets the row before in the walk.
  for (std::size_t i = 0; i < chunk_names_.size(); ++i) {
    const _scandata_holder_row& at = chunk_names_[i];
    if (!chunks_.whole(at.holder)) continue;
    const auto bytes = static_cast<wide_figure>(chunks_.bytes(at.holder));
    unique[at.row] += bytes;
    if (i > 0 && chunk_names_[i - 1].holder == at.holder && chunk_names_[i - 1].walk == at.walk)
      unique[rows.common(chunk_names_[i - 1].row, at.row)] -= bytes;
  }
  for (const _scandata_holder_row& at : chunks_freed_)
    if (chunks_.whole(at.holder))
      freed[at.row] += static_cast<wide_figure>(chunks_.bytes(at.holder));
  add_to_rows(rows, unique, freed);
}

void _scandata::settle_directory_rows() {
  _scandata_directories& rows = directories;
  if (rows.current != rows.none) rows.rows[rows.current].files += files_total - rows.files_counted;
  // A row comes after its parent: from the last one back, each holds its
  // whole subtree when it is added into its parent.
  for (std::size_t i = rows.rows.size(); i-- > rows.walk_rows;) {
    const _scandata_directory_row& child = rows.rows[i];
    if (child.parent == rows.none) continue;
    _scandata_directory_row& parent = rows.rows[child.parent];
    parent.files += child.files;
    parent.unique += child.unique;
    parent.freeable += child.freeable;
  }
  rows.walk_rows = rows.rows.size();
  rows.open.clear();
  rows.current = rows.none;
  if (!holders_in_rows_.empty()) end_walk_of_holder_rows();
}

void _scandata::note_holder_in_rows(const _scandata_row_tally* tally) {
  _scandata_directories& rows = directories;
  if (!rows.collecting() || listed_before_by_walk) return;
  _scandata_shared_holder& holder = holders_[holder_];
  if (holder.rows_walk != walks) {
    holder.rows_walk = walks;
    holder.last_row = rows.none;
    holder.freed_row = rows.none;
    holders_in_rows_.push_back(holder_);
  }
  // Names in one directory come one after another: their row once.
  if (holder.last_row != rows.current) {
    holder.last_row = rows.current;
    holder_names_.push_back(_scandata_holder_row{holder_, walks, rows.current});
  }
  // Where the rows freed it, as they did, once: a file of one name where
  // it is, one of several where its names met its link count.
  if (holder.freed_row != rows.none) return;
  if (!tally) {
    holder.freed_row = rows.current;
  } else if (tally->names & _scandata_row_tally::freed_bit) {
    holder.freed_row = tally->common_row;
  }
}

void _scandata::end_walk_of_holder_rows() {
  for (const std::uint32_t holder : holders_in_rows_) {
    const std::uint32_t row = holders_[holder].freed_row;
    if (row != directories.none) holders_freed_.push_back(_scandata_holder_row{holder, walks, row});
  }
  holders_in_rows_.clear();
}

shared_extent_totals _scandata::settle_shared_rows(std::uint32_t walks_settled) {
  _scandata_directories& rows = directories;
  // Each holder's entries together, a row once per walk, and where they
  // begin.
  sort_each_once(holder_names_);
  std::sort(holders_freed_.begin(), holders_freed_.end(), holder_row_before);
  const auto first_of_each = [this](const std::vector<_scandata_holder_row>& entries) {
    std::vector<std::size_t> first(holders_.size() + 1, 0);
    for (const _scandata_holder_row& entry : entries) ++first[entry.holder + 1];
    for (std::size_t h = 0; h < holders_.size(); ++h) first[h + 1] += first[h];
    return first;
  };
  const std::vector<std::size_t> names_from = first_of_each(holder_names_);
  const std::vector<std::size_t> freed_from = first_of_each(holders_freed_);

  // What the pieces add to each row alone; its subtree's comes after.
  std::vector<wide_figure> unique(rows.rows.size(), 0);
  std::vector<wide_figure> freed(rows.rows.size(), 0);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> met;  // walk, row
  const auto gather = [&](const shared_piece& piece,
                          const std::vector<_scandata_holder_row>& entries,
                          const std::vector<std::size_t>& from) {
    met.clear();
    for (std::size_t k = 0; k < piece.holder_count; ++k) {
      const std::uint32_t holder = piece.holders[k];
      for (std::size_t i = from[holder]; i < from[holder + 1]; ++i)
        met.emplace_back(entries[i].walk, entries[i].row);
    }
    // By walk, and in pre-order within each walk.
    std::sort(met.begin(), met.end());
  };
  const shared_extent_totals totals =
      shared_.settle(walks_settled, [&](const shared_piece& piece) {
        const auto length = static_cast<wide_figure>(piece.length);
        gather(piece, holder_names_, names_from);
        met.erase(std::unique(met.begin(), met.end()), met.end());
        for (std::size_t i = 0; i < met.size(); ++i) {
          unique[met[i].second] += length;
          if (i > 0 && met[i - 1].first == met[i].first)
            unique[rows.common(met[i - 1].second, met[i].second)] -= length;
        }
        if (!piece.freeable) return;
        // A walk frees the piece where it freed every holder: one entry
        // per holder and walk.
        gather(piece, holders_freed_, freed_from);
        for (std::size_t i = 0; i < met.size();) {
          std::size_t j = i + 1;
          std::uint32_t common = met[i].second;
          for (; j < met.size() && met[j].first == met[i].first; ++j)
            common = rows.common(common, met[j].second);
          if (j - i == piece.holder_count) freed[common] += length;
          i = j;
        }
      });
  add_to_rows(rows, unique, freed);
  return totals;
}

void _scandata::single_name_in_rows(std::int64_t size) {
  _scandata_directory_row& here = directories.rows[directories.current];
  here.unique += counted(size);
  here.freeable += counted(size);
}

void _scandata::tally_rows(const platform::entry_facts& facts, _scandata_row_tally& tally) {
  _scandata_directories& rows = directories;
  if (!rows.collecting() || listed_before_by_walk) return;
  const std::int64_t size = counted(facts.*size_of_);
  const std::uint32_t here = rows.current;
  if (tally.names == 0 || tally.last_row < rows.walk_rows) {
    tally.names = 0;
    tally.last_row = here;
    tally.common_row = here;
    rows.rows[here].unique += size;
  } else if (here != tally.last_row) {
    // The size as read at this name, added here and taken back where this
    // subtree meets the last name's: every subtree counts the file once,
    // at the size read at the first of its names that it holds.
    rows.rows[here].unique += size;
    rows.rows[rows.common(tally.last_row, here)].unique -= size;
    tally.common_row = rows.common(tally.common_row, here);
    tally.last_row = here;
  }
  const std::uint32_t freed = tally.names & _scandata_row_tally::freed_bit;
  std::uint32_t names = tally.names & ~_scandata_row_tally::freed_bit;
  if (names < ~_scandata_row_tally::freed_bit) ++names;
  tally.names = freed | names;
  // Once only, even where a link count read at a later name is another.
  if (!freed && reaches(names, facts.links)) {
    tally.names |= _scandata_row_tally::freed_bit;
    rows.rows[tally.common_row].freeable += size;
  }
}

void _scandata::directory_in_rows(std::int64_t allocated) {
  if (directories.depth < 0) return;
  // Kept for the directory's own row, or for the PATH's, which is counted
  // before its walk lists it and has no row to go to before.
  directories.entered_allocated = counted(allocated);
  if (!directories.collecting()) return;
  directories.rows[directories.current].unique += counted(allocated);
  directories.rows[directories.current].freeable += counted(allocated);
}

}  // namespace scan
