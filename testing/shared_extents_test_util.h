// What the tests of shared extents on the fake share: files whose blocks
// other files hold too.
#ifndef TWINFIND_TESTING_SHARED_EXTENTS_TEST_UTIL_H_
#define TWINFIND_TESTING_SHARED_EXTENTS_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testing/filesystem-fake.h"

namespace shared_extents_test {

constexpr std::int64_t MiB = 1 << 20;

// A shared extent, as long on disk as in the file.
inline platform::mapped_extent range(std::uint64_t physical, std::uint64_t length) {
  platform::mapped_extent extent;
  extent.physical = physical;
  extent.length = length;
  extent.on_disk = length;
  extent.shared = true;
  return extent;
}

// A file of `allocated` bytes with its shared extents.
inline void shared_file(const platform::fake_tree& tree, const std::string& name,
                        std::int64_t allocated, std::vector<platform::mapped_extent> extents = {}) {
  tree.file(name, allocated);
  tree.set_allocated(name, allocated);
  if (!extents.empty()) tree.set_shared_extents(name, std::move(extents));
}

}  // namespace shared_extents_test

#endif  // TWINFIND_TESTING_SHARED_EXTENTS_TEST_UTIL_H_
