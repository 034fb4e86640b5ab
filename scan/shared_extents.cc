// The shared ranges of a run, settled piece by piece: the ranges cut the
// volume into pieces where the same files hold every byte, and each piece
// counts as a whole.
#include "scan/shared_extents.h"

#include <algorithm>
#include <limits>

namespace scan {

void add_size(std::int64_t& total, std::uint64_t size) {
  const auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const auto room = max - static_cast<std::uint64_t>(total);
  total = size > room ? std::numeric_limits<std::int64_t>::max()
                      : total + static_cast<std::int64_t>(size);
}

namespace {

// The files that hold the piece being settled, each with how many of its
// ranges cover it: a file that shares blocks with itself holds them once.
struct holding {
  std::vector<std::uint32_t> references;  // per holder
  std::vector<std::uint32_t> holders;     // those with references
  std::uint32_t total = 0;

  void add(std::uint32_t holder) {
    if (references[holder]++ == 0) holders.push_back(holder);
    ++total;
  }
  void remove(std::uint32_t holder) {
    --total;
    if (--references[holder] != 0) return;
    const auto place = std::find(holders.begin(), holders.end(), holder);
    *place = holders.back();
    holders.pop_back();
  }
  void clear() {
    for (const std::uint32_t holder : holders) references[holder] = 0;
    holders.clear();
    total = 0;
  }
};

}  // namespace

std::uint32_t shared_extents::add_holder() {
  freed_by_run_.push_back(0);
  return static_cast<std::uint32_t>(freed_by_run_.size() - 1);
}

void shared_extents::add_range(std::uint32_t holder, std::uint32_t space, std::uint64_t start,
                               std::uint64_t length) {
  if (length == 0) return;
  const std::uint64_t end =
      length > std::numeric_limits<std::uint64_t>::max() - start ? std::numeric_limits<std::uint64_t>::max()
                                                                : start + length;
  ranges_.push_back(range{start, end, holder, space});
}

void shared_extents::add_encoded(std::uint32_t holder, std::uint32_t space, std::uint64_t start,
                                 std::uint64_t length) {
  if (length != 0) encoded_.push_back(range{start, length, holder, space});
}

void shared_extents::met(std::uint32_t holder, std::uint32_t walk, bool freed) {
  meetings_.push_back(walk_meeting{holder, walk, freed});
}

void shared_extents::freed_by_run(std::uint32_t holder, std::uint32_t walk) {
  if (freed_by_run_[holder] == 0) freed_by_run_[holder] = walk;
}

shared_extent_totals shared_extents::settle(
    std::uint32_t walks, const std::function<void(const shared_piece&)>& each_piece) const {
  shared_extent_totals totals = shared_extent_totals::of_walks(walks);

  // Each holder's meetings, together.
  std::vector<walk_meeting> meetings = meetings_;
  std::sort(meetings.begin(), meetings.end(), [](const walk_meeting& a, const walk_meeting& b) {
    return a.holder != b.holder ? a.holder < b.holder : a.walk < b.walk;
  });
  std::vector<std::size_t> first(holders() + 1, 0);
  for (const walk_meeting& m : meetings) ++first[m.holder + 1];
  for (std::size_t h = 0; h < holders(); ++h) first[h + 1] += first[h];

  // Per walk, for the piece being settled: whether it met a holder (the
  // piece's number marks it), and how many of the holders it freed.
  std::vector<std::uint64_t> stamp(walks + std::size_t{1}, 0);
  std::vector<std::uint32_t> freed_holders(walks + std::size_t{1}, 0);
  std::vector<std::uint32_t> touched;
  std::uint64_t piece = 0;

  holding held;
  held.references.assign(holders(), 0);

  const auto settle_piece = [&](std::uint64_t length) {
    if (length == 0 || held.holders.empty()) return;
    ++piece;
    add_size(totals.unique, length);
    // One reference alone: the volume shares it with a file the run never
    // met, which keeps it whatever goes.
    const bool freeable = held.total >= 2;
    if (each_piece)
      each_piece(shared_piece{length, held.holders.data(), held.holders.size(), freeable});
    bool by_run = freeable;
    // The series of walks frees it with its last holder.
    std::uint32_t freed_at = 0;
    touched.clear();
    for (const std::uint32_t holder : held.holders) {
      by_run = by_run && freed_by_run_[holder] != 0;
      freed_at = std::max(freed_at, freed_by_run_[holder]);
      for (std::size_t i = first[holder]; i < first[holder + 1]; ++i) {
        const walk_meeting& m = meetings[i];
        if (m.walk == 0 || m.walk > walks) continue;
        if (stamp[m.walk] != piece) {
          stamp[m.walk] = piece;
          freed_holders[m.walk] = 0;
          touched.push_back(m.walk);
        }
        freed_holders[m.walk] += m.freed ? 1 : 0;
      }
    }
    if (by_run) add_size(totals.freed, length);
    if (by_run && freed_at <= walks) add_size(totals.walk_first_freed[freed_at - 1], length);
    if (!touched.empty())
      add_size(totals.walk_added[*std::min_element(touched.begin(), touched.end()) - 1], length);
    for (const std::uint32_t walk : touched) {
      add_size(totals.walk_unique[walk - 1], length);
      if (freeable && freed_holders[walk] == held.holders.size())
        add_size(totals.walk_freed[walk - 1], length);
    }
  };

  // The plain ranges: a sweep over their ends, one set of addresses after
  // another, settling each piece between two ends of one set. Every range
  // closes in its own set, so none is held where the next set begins.
  struct end_point {
    std::uint64_t at;
    std::uint32_t holder;
    std::uint32_t space;
    bool opens;
  };
  std::vector<end_point> ends;
  ends.reserve(ranges_.size() * 2);
  for (const range& r : ranges_) {
    ends.push_back(end_point{r.start, r.holder, r.space, true});
    ends.push_back(end_point{r.end, r.holder, r.space, false});
  }
  std::sort(ends.begin(), ends.end(), [](const end_point& a, const end_point& b) {
    return a.space != b.space ? a.space < b.space : a.at < b.at;
  });
  for (std::size_t i = 0; i < ends.size(); ++i) {
    if (i > 0 && ends[i].space == ends[i - 1].space) settle_piece(ends[i].at - ends[i - 1].at);
    if (ends[i].opens) {
      held.add(ends[i].holder);
    } else {
      held.remove(ends[i].holder);
    }
  }

  // The compressed extents, each one piece, named by its set and start.
  std::vector<range> encoded = encoded_;
  std::sort(encoded.begin(), encoded.end(), [](const range& a, const range& b) {
    return a.space != b.space ? a.space < b.space : a.start < b.start;
  });
  for (std::size_t i = 0; i < encoded.size();) {
    std::size_t j = i;
    std::uint64_t length = 0;
    held.clear();
    for (; j < encoded.size() && encoded[j].start == encoded[i].start &&
           encoded[j].space == encoded[i].space;
         ++j) {
      held.add(encoded[j].holder);
      length = std::max(length, encoded[j].end);
    }
    settle_piece(length);
    i = j;
  }
  return totals;
}

}  // namespace scan
