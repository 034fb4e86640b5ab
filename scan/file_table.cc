// The identity map: an identity table whose values place each file's
// record, for the files that have one.
#include "scan/scandata.h"

namespace scan {

file_table::found file_table::insert(const platform::file_identity& id, bool with_record) {
  const std::uint32_t next = static_cast<std::uint32_t>(records_.size());
  const identity_table::inserted file = files_.insert(id, with_record ? next : no_record);
  if (file.added && with_record) {
    records_.emplace_back();
    if (with_rows_) row_tallies_.emplace_back();
  }
  const std::uint32_t record = *file.value;
  if (record == no_record) return {nullptr, file.added, nullptr};
  return {&records_[record], file.added, with_rows_ ? &row_tallies_[record] : nullptr};
}

const _scandata_fileinfo* file_table::find(const platform::file_identity& id) const {
  const std::uint32_t* record = files_.find(id);
  return record && *record != no_record ? &records_[*record] : nullptr;
}

_scandata_fileinfo& file_table::operator[](const platform::file_identity& id) {
  std::uint32_t* record = files_.insert(id, no_record).value;
  if (*record == no_record) {
    *record = static_cast<std::uint32_t>(records_.size());
    records_.emplace_back();
    if (with_rows_) row_tallies_.emplace_back();
  }
  return records_[*record];
}

}  // namespace scan
