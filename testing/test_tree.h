// Real temporary directory trees for the scanner's tests.
#ifndef TWINFIND_TESTING_TEST_TREE_H_
#define TWINFIND_TESTING_TEST_TREE_H_

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "base/text.h"
#include "testing/scan_test_util.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// A fresh directory under the system's temporary directory (or under
// `parent`), removed with everything in it when the test ends.
//
// What it makes is readable by everyone, whatever the umask: some tests
// walk it as an unprivileged user.
class test_tree {
 public:
  explicit test_tree(const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
    std::mt19937_64 random(static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count()));
    for (;;) {
      root_ = parent / ("twinfind-test-" + std::to_string(random() % 1000000000));
      std::error_code error;
      if (std::filesystem::create_directory(root_, error)) break;
      if (error) return;  // made() is false
    }
    made_ = true;
    open_to_all(root_, true);
  }
  ~test_tree() {
    if (!made_) return;
    std::error_code error;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
    std::filesystem::remove_all(root_, error);
  }
  test_tree(const test_tree&) = delete;
  test_tree& operator=(const test_tree&) = delete;

  // False when the tree could not be made under the `parent` given.
  bool made() const { return made_; }
  const std::filesystem::path& root() const { return root_; }
  // The tree's root as the program's own text, or a path inside it, joined
  // with the platform's separator.
  platform::native_string path(const std::string& relative = std::string()) const {
    return relative.empty() ? root_.native() : (root_ / relative).make_preferred().native();
  }

  void file(const std::string& relative, std::size_t size = 0) const {
    make_directories((root_ / relative).parent_path());
    {
      std::ofstream out(root_ / relative, std::ios::binary);
      out << std::string(size, 'x');
    }
    open_to_all(root_ / relative, false);
  }
  void directory(const std::string& relative) const { make_directories(root_ / relative); }
  void hard_link(const std::string& existing, const std::string& relative) const {
    make_directories((root_ / relative).parent_path());
    std::filesystem::create_hard_link(root_ / existing, root_ / relative);
  }

 private:
  // rwxr-xr-x for a directory, rw-r--r-- for a file.
  static void open_to_all(const std::filesystem::path& path, bool is_directory) {
    using std::filesystem::perms;
    const perms everyone_reads = perms::owner_read | perms::owner_write | perms::group_read |
                                 perms::others_read;
    const perms everyone_enters = perms::owner_exec | perms::group_exec | perms::others_exec;
    std::error_code error;
    std::filesystem::permissions(
        path, is_directory ? everyone_reads | everyone_enters : everyone_reads, error);
  }
  // Like create_directories, but what it creates is open to all; what
  // exists already keeps the permissions a test may have given it.
  static void make_directories(const std::filesystem::path& path) {
    if (path.empty() || std::filesystem::exists(path)) return;
    make_directories(path.parent_path());
    std::filesystem::create_directory(path);
    open_to_all(path, true);
  }

  std::filesystem::path root_;
  bool made_ = false;
};

#ifndef _WIN32
// Makes `levels` directories of `name_length`-byte names ('a', 'b', ... in
// turn) one below the other under `top`, by descriptor, as paths stop at
// PATH_MAX. Returns the deepest open (-1 where one could not be made) and
// sets `path` to its path.
inline int make_deep_directories(const std::string& top, int levels, std::size_t name_length,
                                 std::string& path) {
  path = top;
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < levels && fd >= 0; ++level) {
    const std::string name(name_length, static_cast<char>('a' + level));
    path += "/" + name;
    mkdirat(fd, name.c_str(), 0755);
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  return fd;
}
#endif

#endif  // TWINFIND_TESTING_TEST_TREE_H_
