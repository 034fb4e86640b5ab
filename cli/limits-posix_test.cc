// The program under tight limits, checked on the real binary: few free
// descriptors, a small stack, trees deep enough to matter for memory, and
// many names of one file. Each is a case where a walk used to lose part of
// the report, crash, or need memory far beyond the size of the tree.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/spawn_test_util-posix.h"
#include "testing/test_tree.h"

namespace cli {

namespace {

struct limits {
  int free_descriptors = -1;  // -1: as inherited
  rlim_t stack_bytes = 0;     // 0: as inherited
  bool discard_output = false;
  bool fixed_layout = false;        // the same addresses on every run
  char** environment = nullptr;     // nullptr: as inherited
};

// The exit status of a child that could not turn off the random placement
// of its address space (a sandbox may refuse it).
constexpr int kNoFixedLayout = 125;

struct outcome {
  int status = 0;
  std::string out;
  std::string err;
  long peak_kib = 0;  // resident set, as the system counts it
  bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) != 0;) {
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    } else if (errno != EINTR) {
      break;
    }
  }
  return text;
}

// Leaves exactly `count` descriptors free: fills the table to a small
// limit, then gives `count` back. It runs between fork and exec, so it
// allocates nothing: open takes the lowest free descriptor, so the table is
// full up to the last one it gave.
void keep_free(int count) {
  struct rlimit small = {64, 64};
  setrlimit(RLIMIT_NOFILE, &small);
  int last = -1;
  for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) last = fd;
  for (int i = 0; i < count && last > 2; ++i) close(last--);
}

outcome run_limited(const std::vector<std::string>& arguments, const limits& limit) {
  int out_pipe[2];
  int err_pipe[2];
  outcome result;
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t child =
      spawn_twinfind(arguments, limit.discard_output ? null : out_pipe[1], err_pipe[1], false,
                     [&limit] {
                       if (limit.stack_bytes != 0) {
                         struct rlimit stack = {limit.stack_bytes, limit.stack_bytes};
                         setrlimit(RLIMIT_STACK, &stack);
                       }
                       if (limit.free_descriptors >= 0) keep_free(limit.free_descriptors);
                       if (limit.fixed_layout &&
                           personality(personality(0xffffffff) | ADDR_NO_RANDOMIZE) == -1)
                         _exit(kNoFixedLayout);
                       if (limit.environment) environ = limit.environment;
                     });
  close(null);
  close(out_pipe[1]);
  close(err_pipe[1]);
  result.out = read_all(out_pipe[0]);
  result.err = read_all(err_pipe[0]);
  close(out_pipe[0]);
  close(err_pipe[0]);
  struct rusage usage;
  wait4(child, &result.status, 0, &usage);
  result.peak_kib = usage.ru_maxrss;
  return result;
}

// A tree four levels deep below its top, 54 files, and one file with three
// names far apart.
void fan_tree(const test_tree& tree) {
  for (int a = 1; a <= 3; ++a)
    for (int b = 1; b <= 3; ++b)
      for (int c = 1; c <= 3; ++c)
        for (int d = 1; d <= 2; ++d)
          tree.file("a" + std::to_string(a) + "/b" + std::to_string(b) + "/c" + std::to_string(c) +
                    "/d" + std::to_string(d) + "/f");
  tree.file("linked");
  tree.hard_link("linked", "a1/b2/c3/d1/second");
  tree.hard_link("linked", "a3/b3/c3/d2/third");
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

TEST(Limits, FourFreeDescriptorsGiveTheFullReport) {
  test_tree tree;
  fan_tree(tree);
  // The -F name search walks the file system from its mount point, which
  // here may be the whole root: its own test runs on a volume of its own.
  const std::vector<std::string> arguments{tree.path(), "-C", "3"};
  const outcome full = run_limited(arguments, limits());
  ASSERT_TRUE(full.exited(0)) << full.err;
  ASSERT_NE(full.out.find("/a3/b3/c3/d2/third"), std::string::npos);
  for (const int free : {4, 5, 8}) {
    SCOPED_TRACE(free);
    limits scarce;
    scarce.free_descriptors = free;
    const outcome run = run_limited(arguments, scarce);
    EXPECT_TRUE(run.exited(0)) << run.status << " " << run.err;
    EXPECT_EQ(run.out, full.out);
    EXPECT_EQ(run.err, "");
  }
}

TEST(Limits, BelowThatEveryDirectoryNotReadIsACountedError) {
  test_tree tree;
  fan_tree(tree);
  limits scarce;
  scarce.free_descriptors = 2;
  const outcome quiet = run_limited({tree.path()}, scarce);
  EXPECT_TRUE(quiet.exited(3)) << quiet.status;
  const outcome verbose = run_limited({"-V", tree.path()}, scarce);
  EXPECT_TRUE(verbose.exited(3)) << verbose.status;
  // Every directory whose files are missing says so: one line each, out of
  // descriptors, and as many as the quiet run counted.
  const std::size_t lines = count_of(verbose.out, "\": 0x");
  EXPECT_EQ(lines, count_of(verbose.out, "\": 0x00000018"));
  EXPECT_GT(lines, 0u);
  EXPECT_EQ(quiet.err,
            "twinfind: errors while scanning: " + std::to_string(lines) +
                " (run with -V to see them)\n");
  // The files counted and the directories that failed add up to the tree:
  // 3 + 9 + 27 directories hold 54 files in 54 leaves.
  const std::size_t missing = 54 - std::stoul(quiet.out.substr(quiet.out.find("<total>") + 7));
  EXPECT_GT(missing, 0u);
}

// The limit holds the environment and the arguments too, placed at a
// random offset, and the dynamic loader takes most of 16 KiB to start any
// program (see the next test for what the run may add to it); 24 KiB leaves
// the loader room in any environment and still fails any buffer of the
// size the walk once kept on its stack for listing replies (32 KiB), were
// it on the stack the limit bounds.
TEST(Limits, ATwentyFourKilobyteStackIsEnough) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs a larger stack of its own";
#endif
  test_tree tree;
  fan_tree(tree);
  const std::vector<std::string> arguments{tree.path(), "-C", "1", "-F", tree.path("a1/b1/c1/d1") + "/*"};
  const outcome full = run_limited(arguments, limits());
  limits small;
  small.stack_bytes = 24 * 1024;
  const outcome run = run_limited(arguments, small);
  EXPECT_TRUE(run.exited(0)) << run.status;
  EXPECT_EQ(run.out, full.out);
}

// An environment of one variable of `size` bytes: the environment lies at
// the top of the stack, so it moves where the program's stack begins.
class padded_environment {
 public:
  char** of_size(std::size_t size) {
    text_ = "PAD=" + std::string(size, 'x');
    pointers_ = {&text_[0], nullptr};
    return pointers_.data();
  }

 private:
  std::string text_;
  std::vector<char*> pointers_;
};

// A small file system of its own where there is one, so that the search
// for a file's names reads only the test's tree.
std::filesystem::path small_volume() {
  std::error_code error;
  return std::filesystem::is_directory("/dev/shm", error)
             ? std::filesystem::path("/dev/shm")
             : std::filesystem::temp_directory_path();
}

// The dynamic loader takes most of a small stack to start the program, and
// the random placement of the stack takes up to 8 KiB of a 16 KiB limit;
// what the run does after that must fit in what starting it took. (The C
// library's realpath, a locale it cannot find, and its lazy binding, which
// saves every vector register on the stack, each took more.) With the
// address space laid out the same on every run, the environment is grown
// until a run that stops at once (--version) just starts; the full run
// with a search for a file's names must then complete too.
TEST(Limits, ARunNeedsNoMoreStackThanItsStart) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs a larger stack of its own";
#endif
  test_tree tree(small_volume());
  fan_tree(tree);
  const std::vector<std::string> arguments{tree.path(), "-C", "1", "-F",
                                           tree.path("a1/b2/c3/d1/second")};
  std::vector<std::string> start = arguments;
  start.push_back("--version");  // 18 bytes of the stack that the full run leaves free
  padded_environment environment;
  limits fixed;
  fixed.stack_bytes = 16 * 1024;
  fixed.fixed_layout = true;
  fixed.environment = environment.of_size(0);
  const outcome unpadded = run_limited(start, fixed);
  if (unpadded.exited(kNoFixedLayout)) GTEST_SKIP() << "the address space cannot be fixed here";
  ASSERT_TRUE(unpadded.exited(0)) << unpadded.status;
  std::size_t starts = 0;  // the largest pad that still lets it start
  std::size_t fails = 16 * 1024;
  while (fails - starts > 1) {
    const std::size_t middle = (starts + fails) / 2;
    fixed.environment = environment.of_size(middle);
    (run_limited(start, fixed).exited(0) ? starts : fails) = middle;
  }
  fixed.environment = environment.of_size(starts);
  const outcome run = run_limited(arguments, fixed);
  ASSERT_TRUE(run.exited(0)) << run.status << " with " << starts << " bytes of environment";
  EXPECT_EQ(run.out, run_limited(arguments, limits()).out);
  EXPECT_EQ(count_of(run.out, "/a3/b3/c3/d2/third\n"), 1u);  // found by the search
}

// The most a run below may take. The address sanitizer's own bookkeeping
// about doubles what the program takes; the faults measured here took three
// times this and more.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kPeakKib = 128 * 1024;
#else
constexpr long kPeakKib = 64 * 1024;
#endif

// A chain of directories, each with the longest name there is.
void make_chain(const test_tree& tree, int depth) {
  int fd = open(tree.path().c_str(), O_RDONLY | O_DIRECTORY);
  const std::string name(255, 'n');
  for (int level = 0; level < depth && fd >= 0; ++level) {
    mkdirat(fd, name.c_str(), 0755);
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  close(fd);
}

TEST(Limits, MemoryGrowsWithTheDepthOfATreeNotItsSquare) {
  // 1,500 levels: copies of every ancestor's path would take 290 MB.
  test_tree tree;
  make_chain(tree, 1500);
  limits quiet;
  quiet.discard_output = true;
  const outcome run = run_limited({tree.path()}, quiet);
  EXPECT_TRUE(run.exited(0)) << run.err;
  EXPECT_LT(run.peak_kib, kPeakKib);
}

TEST(Limits, ManyNamesOfOneFileKeepOneListOfThem) {
  // 1,500 breakdowns of one file with 1,500 names: a list for each would
  // take 220 MB; the output is 130 MB.
  test_tree tree;
  tree.file("names/0");
  for (int i = 1; i < 1500; ++i) tree.hard_link("names/0", "names/" + std::to_string(i));
  limits quiet;
  quiet.discard_output = true;
  const outcome run = run_limited({"-F", tree.path("names") + "/*"}, quiet);
  EXPECT_TRUE(run.exited(0)) << run.err;
  EXPECT_LT(run.peak_kib, kPeakKib);
}

}  // namespace

}  // namespace cli
