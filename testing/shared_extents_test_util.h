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

inline platform::shared_extent range(std::uint64_t physical, std::uint64_t length) {
  return platform::shared_extent{physical, length, false};
}

// A file of `allocated` bytes with its shared extents.
inline void shared_file(const platform::fake_tree& tree, const std::string& name,
                        std::int64_t allocated, std::vector<platform::shared_extent> extents = {}) {
  tree.file(name, allocated);
  tree.set_allocated(name, allocated);
  if (!extents.empty()) tree.set_shared_extents(name, std::move(extents));
}

}  // namespace shared_extents_test

#endif  // TWINFIND_TESTING_SHARED_EXTENTS_TEST_UTIL_H_
