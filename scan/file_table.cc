// The identity map: an identity table whose values place each file's
// record, for the files that have one, and with the space by directory
// each file's row tally.
#include "scan/scandata.h"

namespace scan {

std::uint32_t file_table::new_place(bool with_record) {
  const std::uint32_t place = places_++;
  if (place % rows_per_block == 0)
    row_tallies_.push_back(std::make_unique<_scandata_row_tally[]>(rows_per_block));
  // Files without a record in between (where only some link counts keep
  // names) take empty ones, which tell no more than none.
  if (with_record) records_.resize(static_cast<std::size_t>(place) + 1);
  return place;
}

file_table::found file_table::insert(const platform::file_identity& id, bool with_record) {
  if (with_rows_) {
    const identity_table::inserted file = files_.insert(id, places_);
    if (file.added) new_place(with_record);
    const std::uint32_t place = *file.value;
    _scandata_fileinfo* record = place < records_.size() ? &records_[place] : nullptr;
    return {record, file.added, row_tally(place)};
  }
  const std::uint32_t next = static_cast<std::uint32_t>(records_.size());
  const identity_table::inserted file = files_.insert(id, with_record ? next : no_record);
  if (file.added && with_record) records_.emplace_back();
  const std::uint32_t record = *file.value;
  return {record == no_record ? nullptr : &records_[record], file.added, nullptr};
}

const _scandata_fileinfo* file_table::find(const platform::file_identity& id) const {
  const std::uint32_t* record = files_.find(id);
  return record && *record < records_.size() ? &records_[*record] : nullptr;
}

_scandata_fileinfo& file_table::operator[](const platform::file_identity& id) {
  if (with_rows_) {
    const identity_table::inserted file = files_.insert(id, places_);
    if (file.added) new_place(true);
    if (*file.value >= records_.size()) records_.resize(static_cast<std::size_t>(*file.value) + 1);
    return records_[*file.value];
  }
  std::uint32_t* record = files_.insert(id, no_record).value;
  if (*record == no_record) {
    *record = static_cast<std::uint32_t>(records_.size());
    records_.emplace_back();
  }
  return records_[*record];
}

}  // namespace scan
