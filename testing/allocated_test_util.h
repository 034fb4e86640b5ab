// What the tests of space measured by allocation on the fake share: the
// space each entry of a tree takes on disk, set in one list.
#ifndef TWINFIND_TESTING_ALLOCATED_TEST_UTIL_H_
#define TWINFIND_TESTING_ALLOCATED_TEST_UTIL_H_

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "testing/filesystem-fake.h"

// Each name of the tree (relative, with '/'; "" for the tree itself) with
// the bytes it takes on disk.
inline void set_allocated(const platform::fake_tree& tree,
                          std::initializer_list<std::pair<const char*, std::int64_t>> sizes) {
  for (const auto& [name, bytes] : sizes) tree.set_allocated(name, bytes);
}

#endif  // TWINFIND_TESTING_ALLOCATED_TEST_UTIL_H_
