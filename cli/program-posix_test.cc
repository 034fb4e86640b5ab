// The program as users run it: exit codes, a full disk, a closed pipe, a
// terminal, a system that refuses statx, the end of memory and sizes past
// the 64-bit range, checked on the real binary.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "testing/spawn_test_util-posix.h"
#include "testing/process_state_test_util-posix.h"
#include "testing/refuse_statx_test_util-posix.h"
#include "testing/test_tree.h"

namespace cli {

// AddressSanitizer reserves terabytes of address space and ends the program
// itself when an allocation fails: the tests of running out of memory need
// a build without it.
#if defined(__SANITIZE_ADDRESS__)
#define TWINFIND_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TWINFIND_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

struct finished_program {
  int status = 0;
  std::string out;
  std::string err;
  bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      return text;
    }
  }
}

// Runs twinfind with `arguments`. Standard output goes to `out_fd` when it
// is given, else to a pipe that is read in full.
// `setup` runs in the child before the program starts (see spawn_twinfind).
finished_program run_twinfind(const std::vector<std::string>& arguments, int out_fd = -1,
                              bool ignore_sigpipe = false,
                              const std::function<void()>& setup = nullptr) {
  int out_pipe[2] = {-1, -1};
  int err_pipe[2];
  if (out_fd < 0 && pipe(out_pipe) != 0) return {};
  if (pipe(err_pipe) != 0) return {};
  const pid_t child =
      spawn_twinfind(arguments, out_fd >= 0 ? out_fd : out_pipe[1], err_pipe[1], ignore_sigpipe, setup);
  close(err_pipe[1]);
  finished_program result;
  if (out_fd < 0) {
    close(out_pipe[1]);
    result.out = read_all(out_pipe[0]);
    close(out_pipe[0]);
  }
  result.err = read_all(err_pipe[0]);
  close(err_pipe[0]);
  waitpid(child, &result.status, 0);
  return result;
}

TEST(Program, UsageAndArgumentErrorsEndWithTheirCodes) {
  const finished_program usage = run_twinfind({});
  EXPECT_TRUE(usage.exited(0));
  EXPECT_EQ(usage.out.find("\n\"TWINFIND\" [-V]"), 0u);
  EXPECT_TRUE(usage.err.empty());

  const finished_program bad = run_twinfind({"-x"});
  EXPECT_TRUE(bad.exited(1));
  EXPECT_EQ(bad.err, "Invalid argument '-x'.\n");
  EXPECT_TRUE(bad.out.empty());
}

// A run that completes but met errors must not pass for a clean one: the
// report stays as it is, standard error says so after it (in verbose mode
// the errors' own lines do instead) and the exit code is 3. A PATH that
// could not be scanned at all is named, with the system's words, and the
// count follows only for errors those lines leave out.
TEST(Program, ScanErrorsEndWithCodeThreeAndACount) {
  scoped_environment messages("LC_ALL", "C");  // the system's words in English
  test_tree tree;
  tree.file("f");
  const std::string missing = tree.path() + "/no-such-entry";
  const std::string not_a_directory = tree.path() + "/f";
  const std::string counted = "twinfind: errors while scanning: ";
  const std::string missing_line =
      "twinfind: cannot scan '" + missing + "': No such file or directory\n";
  const std::string file_line =
      "twinfind: cannot scan '" + not_a_directory + "': Not a directory\n";
  const auto count_line = [&](int errors) {
    return counted + std::to_string(errors) + " (run with -V to see them)\n";
  };
  struct error_case {
    std::vector<std::string> arguments;
    std::string err;
  };
  const std::vector<error_case> cases = {
      {{missing}, missing_line},
      {{not_a_directory}, file_line},
      {{"-F", missing}, count_line(1)},
      {{"-F", tree.path() + "/nothing-matches-*"}, count_line(1)},
      {{missing, not_a_directory, "-F", missing}, missing_line + file_line + count_line(3)},
  };
  for (const error_case& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + c.err);
    const finished_program quiet = run_twinfind(c.arguments);
    EXPECT_TRUE(quiet.exited(3)) << quiet.status;
    EXPECT_EQ(quiet.err, c.err);

    std::vector<std::string> verbose_arguments = c.arguments;
    verbose_arguments.insert(verbose_arguments.begin(), "-V");
    const finished_program verbose = run_twinfind(verbose_arguments);
    EXPECT_TRUE(verbose.exited(3)) << verbose.status;
    EXPECT_EQ(verbose.err.find(counted), std::string::npos) << verbose.err;
    EXPECT_EQ(verbose.err.find("cannot scan"), std::string::npos) << verbose.err;
  }
  const finished_program clean = run_twinfind({tree.path(), "-F", not_a_directory});
  EXPECT_TRUE(clean.exited(0)) << clean.status;
  EXPECT_EQ(clean.err, "");
}

// A PATH that names nothing: the whole report of zeros on standard output,
// as ever, and one line after it that says which PATH and why, as du says
// it.
TEST(Program, AMissingPathIsNamedAfterTheReport) {
  scoped_environment messages("LC_ALL", "C");
  const finished_program run = run_twinfind({"/nonexistent"});
  EXPECT_TRUE(run.exited(3)) << run.status;
  EXPECT_EQ(run.err, "twinfind: cannot scan '/nonexistent': No such file or directory\n");
  EXPECT_EQ(run.out.find("Scanning directories and files.....\n\nSummary of Directories\n"), 0u)
      << run.out;
  EXPECT_NE(run.out.find("\nDirectories scanned:\n  /nonexistent\n"), std::string::npos);
  const std::string last = "Difference:                          0 (  0%)\n";
  ASSERT_GE(run.out.size(), last.size());
  EXPECT_EQ(run.out.substr(run.out.size() - last.size()), last);
}

TEST(Program, LongOptionsAndTheEndOfOptions) {
  const finished_program version = run_twinfind({"--version"});
  EXPECT_TRUE(version.exited(0));
  EXPECT_EQ(version.out, "twinfind " TWINFIND_VERSION "\n");
  EXPECT_TRUE(version.err.empty());

  const finished_program unknown = run_twinfind({"--verbose", "/"});
  EXPECT_TRUE(unknown.exited(1));
  EXPECT_EQ(unknown.err, "Invalid argument '--verbose'.\nTry 'twinfind --help'.\n");
  EXPECT_TRUE(unknown.out.empty());

  // A directory named "-x", given as it is from its parent.
  test_tree tree;
  tree.file("-x/a");
  tree.file("-x/b");
  const finished_program dashed = [&] {
    const working_directory in(tree.path());
    return run_twinfind({"--", "-x"});
  }();
  EXPECT_TRUE(dashed.exited(0)) << dashed.err;
  EXPECT_NE(dashed.out.find("Directories scanned:\n  -x\n"), std::string::npos) << dashed.out;
  EXPECT_NE(dashed.out.find("\n  Normal               2 (100%)"), std::string::npos) << dashed.out;
}

// Some container runtimes forbid statx. The run must then read every entry
// another way and give the very report it gives elsewhere, not a table of
// skipped entries.
TEST(Program, WhereStatxIsRefusedTheReportIsTheSame) {
#ifndef TWINFIND_CAN_REFUSE_STATX
  GTEST_SKIP() << "no seccomp filter for statx on this system";
#endif
  test_tree tree;
  tree.file("a/file", 100);
  tree.hard_link("a/file", "b/second-name");
  tree.file("b/other", 7);
  tree.directory("c/empty");
  ASSERT_EQ(symlink("../a", tree.path("c/to-a").c_str()), 0);
  // A -F file of one link: the names of one with more would be searched for
  // on the whole file system.
  const std::vector<std::string> arguments = {tree.path(), "-C", "2", "-F", tree.path("b/other")};
  const finished_program normal = run_twinfind(arguments);
  ASSERT_TRUE(normal.exited(0)) << normal.err;
  const finished_program refused =
      run_twinfind(arguments, -1, false, [] { if (!refuse_statx()) _exit(126); });
  EXPECT_TRUE(refused.exited(0)) << refused.status << refused.err;
  EXPECT_EQ(refused.err, "");
  EXPECT_EQ(refused.out, normal.out);
  EXPECT_NE(normal.out.find("  Normal               3 (100%)"), std::string::npos) << normal.out;
}

// On a file system whose files share no extents (ext4, tmpfs, or any
// tree without copies that share), -E prints what -A prints, and its JSON
// document differs by its one key.
TEST(Program, SharedExtentsWhereNoneAreSharedPrintWhatAllocatedPrints) {
  test_tree tree;
  tree.file("a/file", 100000);
  tree.hard_link("a/file", "b/second-name");
  tree.file("b/other", 7);
  tree.directory("c/empty");
  const std::vector<std::string> paths = {tree.path("a"), tree.path("b"), tree.path("c")};
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"-S"}, {"-S", "-C", "2"}, {"-J"}}) {
    std::vector<std::string> allocated = options, shared = options;
    allocated.push_back("-A");
    shared.push_back("-E");
    allocated.insert(allocated.end(), paths.begin(), paths.end());
    shared.insert(shared.end(), paths.begin(), paths.end());
    const finished_program a = run_twinfind(allocated), e = run_twinfind(shared);
    ASSERT_TRUE(a.exited(0) && e.exited(0)) << a.err << e.err;
    std::string expected = a.out;
    const std::string key = "\"shared_extents\":";
    const std::size_t at = expected.find(key + "false");
    if (options[0] == "-J") {
      ASSERT_NE(at, std::string::npos) << expected;
      // Where nothing is shared, -E counts all there is: nothing left out.
      expected.replace(at + key.size(), 5, "true,\"not_counted\":[]");
    }
    EXPECT_EQ(e.out, expected);
  }
}

// The digits of the number on the line of `text` that begins with `label`,
// without the grouping of whatever locale the run had.
std::string number_after(const std::string& text, const std::string& label) {
  const std::size_t start = text.find("\n" + label);
  if (start == std::string::npos) return "no " + label;
  std::string digits;
  for (std::size_t i = start + 1 + label.size(); i < text.size() && text[i] != '\n'; ++i) {
    if (text[i] == '(') break;  // the share
    if ((text[i] >= '0' && text[i] <= '9') || text[i] == '-') digits += text[i];
  }
  return digits;
}

// Makes `relative` a sparse file of `size` bytes; false where the file
// system has no room for such a length.
bool sparse_file(const test_tree& tree, const std::string& relative, off_t size) {
  tree.file(relative);
  return truncate(tree.path(relative).c_str(), size) == 0;
}

// Sparse files can claim lengths whose sum leaves the 64-bit range. The
// totals then stop at its end, and the difference is that of the totals
// shown; the sanitizers of the debug build see no overflow on the way.
TEST(Program, SizeTotalsBeyondTheRangeStopAtItsEnd) {
  const off_t big = off_t{1} << 62;
  std::optional<test_tree> tree;
  tree.emplace();
  // ext4 and most disk file systems stop far below 2^62 bytes; tmpfs does not.
  if (!sparse_file(*tree, "x/a", big)) tree.emplace("/dev/shm");
  if (!tree->made() || !sparse_file(*tree, "x/a", big)) GTEST_SKIP() << "no file system for 2^62 bytes";
  tree->hard_link("x/a", "x/a2");
  tree->hard_link("x/a", "x/a3");
  tree->file("x/small", 7);
  ASSERT_TRUE(sparse_file(*tree, "y/b", big));
  ASSERT_TRUE(sparse_file(*tree, "y/c", big));

  // Only the naive total (3 * 2^62 + 7) leaves the range.
  const finished_program naive_only = run_twinfind({tree->path("x")});
  EXPECT_TRUE(naive_only.exited(0)) << naive_only.status << naive_only.err;
  EXPECT_EQ(number_after(naive_only.out, "Naive file size:"), "9223372036854775807");
  EXPECT_EQ(number_after(naive_only.out, "Unique file size:"), "4611686018427387911");
  EXPECT_EQ(number_after(naive_only.out, "Difference:"), "4611686018427387896");

  // Both do (the unique total is 3 * 2^62 + 7).
  const finished_program both = run_twinfind({tree->path()});
  EXPECT_TRUE(both.exited(0)) << both.status << both.err;
  EXPECT_EQ(number_after(both.out, "Naive file size:"), "9223372036854775807");
  EXPECT_EQ(number_after(both.out, "Unique file size:"), "9223372036854775807");
  EXPECT_EQ(number_after(both.out, "Difference:"), "0");
  EXPECT_NE(both.out.find("807 (100%)\n"), std::string::npos) << both.out;
}

// Runs twinfind with its address space limited to `bytes`.
finished_program run_in(rlim_t bytes, const std::vector<std::string>& arguments) {
  return run_twinfind(arguments, -1, false, [bytes] {
    const rlimit limit = {bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
  });
}

// A run that meets the end of memory ends as any failing program does: no
// abort and no core, the progress line ended, one line saying why and exit
// code 4. The limits tried climb from the least a run needs on an empty
// directory to what the whole listing needs; every run among them must
// either complete or end that way.
TEST(Program, RunningOutOfMemoryEndsWithCodeFourAndOneLine) {
#ifdef TWINFIND_ADDRESS_SANITIZER
  GTEST_SKIP() << "AddressSanitizer handles allocation failures itself";
#endif
  test_tree tree;
  tree.directory("empty");
  // Paths of 3,000 bytes and -C 1: the names kept take about 4.5 MB.
  std::string deep = "deep";
  for (int level = 0; level < 15; ++level) deep += "/" + std::string(200, 'a' + level);
  for (int i = 0; i < 1500; ++i) tree.file(deep + "/file-" + std::to_string(i));

  const rlim_t step = 256 * 1024;
  rlim_t fails = 4 * step;  // far too little for any run
  rlim_t runs = 1024 * step;
  ASSERT_TRUE(run_in(runs, {tree.path("empty")}).exited(0));
  while (runs - fails > step) {
    const rlim_t middle = fails + (runs - fails) / 2;
    (run_in(middle, {tree.path("empty")}).exited(0) ? runs : fails) = middle;
  }
  int out_of_memory = 0;
  for (rlim_t limit = runs;; limit += 2 * step) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    const finished_program run = run_in(limit, {tree.path(), "-C", "1"});
    if (run.exited(0)) break;
    ++out_of_memory;
    ASSERT_TRUE(run.exited(4)) << run.status << " " << run.err;
    EXPECT_EQ(run.err, "twinfind: out of memory\n");
    EXPECT_TRUE(run.out.empty() || run.out.back() == '\n') << run.out;
    ASSERT_LT(limit, runs + 100 * step) << "no run completed";
  }
  EXPECT_GT(out_of_memory, 0) << "every run had memory enough";
}

// Under every limit by 32 KiB, from the least the program starts in (below
// it the dynamic loader fails, with its own code 127) to well above where
// the user's locale loads, a run completes or ends with code 4 and its one
// line, never by a signal: neither the C++ runtime's reserve for throwing
// that the loading left no room for, nor the locale's loading failing part
// way, may crash it. A run that completes prints the report in the user's
// numbers, or in the classic locale's where the C library could not load
// the user's (it cannot tell that from a locale it lacks).
TEST(Program, UnderEveryTightLimitTheLocaleLoadsOrTheRunEndsWithCodeFour) {
#ifdef TWINFIND_ADDRESS_SANITIZER
  GTEST_SKIP() << "AddressSanitizer handles allocation failures itself";
#endif
  test_tree tree;
  tree.file("f", 12345);  // grouped as 12,345 in en_US
  tree.hard_link("f", "g");
  const rlim_t step = 32 * 1024;
  std::string missing;
  for (const char* name : {"en_US.UTF-8", "C.UTF-8"}) {
    SCOPED_TRACE(name);
    const locale_t available = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(0));
    if (!available) {
      missing += std::string(" ") + name;
      continue;
    }
    freelocale(available);
    std::string classic;
    {
      const scoped_environment locale("LC_ALL", "C");
      classic = run_twinfind({tree.path()}).out;
    }
    const scoped_environment locale("LC_ALL", name);
    const std::string users = run_twinfind({tree.path()}).out;
    ASSERT_NE(users.find("Naive file size:"), std::string::npos) << users;
    const auto loader_fails = [&tree](rlim_t bytes) {
      const int status = run_in(bytes, {tree.path()}).status;
      return WIFEXITED(status) && WEXITSTATUS(status) == 127;
    };
    rlim_t limit = 1024 * 1024;
    while (loader_fails(limit)) limit += 8 * step;
    limit -= 8 * step;
    int as_asked = 0;  // runs in the user's numbers, counted past the first
    for (; as_asked < 16; limit += step) {
      SCOPED_TRACE("limit " + std::to_string(limit / 1024) + " KiB");
      ASSERT_LT(limit, rlim_t{64} << 20) << "no run printed the user's numbers";
      const finished_program run = run_in(limit, {tree.path()});
      if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 127) continue;
      ASSERT_TRUE(run.exited(0) || run.exited(4)) << run.status << " " << run.err;
      if (run.exited(4)) {
        EXPECT_EQ(run.err, "twinfind: out of memory\n");
        continue;
      }
      EXPECT_EQ(run.err, "");
      if (run.out == users) {
        ++as_asked;
      } else {
        EXPECT_EQ(run.out, classic);
      }
    }
  }
  if (!missing.empty()) GTEST_SKIP() << "locales not on this system:" << missing;
}

// Runs `twinfind PATH` in an address space of `limit` bytes, on one core
// only where `one_core` (where the walk reads alone, whatever the limit).
finished_program run_limited(const std::string& path, rlim_t limit, bool one_core) {
  return run_twinfind({path}, -1, false, [limit, one_core] {
    cpu_set_t allowed;
    if (one_core && sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
      for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        CPU_ZERO(&allowed);
        CPU_SET(cpu, &allowed);
        sched_setaffinity(0, sizeof allowed, &allowed);
        break;
      }
    }
    const rlimit space = {limit, limit};
    setrlimit(RLIMIT_AS, &space);
  });
}

// Threads start only with a second core; a sanitizer reserves space too.
bool can_compare_address_space() {
#ifdef TWINFIND_ADDRESS_SANITIZER
  return false;
#else
  cpu_set_t allowed;
  return sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) >= 2;
#endif
}

// Every limit, by 256 KiB, from one too small for any run up to where the
// walk alone has fitted `kFitsInARow` limits in a row: at each, a run on
// every core fits where the run on one core fits. A sweep, not a
// bisection: fitting in an address space is not monotonic in its size (the
// locale's archive maps at one limit and crowds out what follows it).
void expect_fits_beside_threads(const std::string& path) {
  constexpr int kFitsInARow = 8;
  const rlim_t step = 256 * 1024;
  int fitted = 0, failed = 0, in_a_row = 0;
  for (rlim_t limit = 16 * step; in_a_row < kFitsInARow; limit += step) {
    ASSERT_LT(limit, rlim_t{512} << 20) << "no run fits in 512 MiB";
    if (!run_limited(path, limit, true).exited(0)) {
      ++failed;
      in_a_row = 0;
      continue;
    }
    ++fitted;
    ++in_a_row;
    const finished_program run = run_limited(path, limit, false);
    EXPECT_TRUE(run.exited(0)) << "fits alone in " << limit / 1024 << " KiB, not on every core: "
                               << run.status << " " << run.err;
  }
  EXPECT_GT(failed, 0) << "the sweep starts where no run fits";
  EXPECT_GE(fitted, kFitsInARow);
}

// A walk that fits in an address space on one core fits on more: under
// such a limit the walk reads alone, so the threads reading ahead take
// nothing of it.
TEST(ProgramStress, AWalkThatFitsOnOneCoreFitsOnTwo) {
  if (!can_compare_address_space()) GTEST_SKIP() << "one core, or a sanitizer's own reservations";
  test_tree tree;
  for (int d = 0; d < 300; ++d) {
    const std::string dir = "d" + std::to_string(d % 20) + "/e" + std::to_string(d);
    for (int f = 0; f < 12; ++f) tree.file(dir + "/f" + std::to_string(f), 1);
  }
  expect_fits_beside_threads(tree.path());
}

// Makes `count` empty files named `stem` and a number in `dir`, a call each.
void empty_files(const std::string& dir, const std::string& stem, int count) {
  std::filesystem::create_directories(dir);
  for (int i = 0; i < count; ++i) {
    const int fd = open((dir + "/" + stem + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
  }
}

// The directories the threads read ahead hold for the walk would take
// memory the walk alone never needs: large ones at every level beside the
// walk's way down, while the walk at the bottom lists the largest directory
// of all, far more than a worker lists at once.
TEST(ProgramStress, AWalkBesideLargeDirectoriesFitsWhereItFitsAlone) {
  if (!can_compare_address_space()) GTEST_SKIP() << "one core, or a sanitizer's own reservations";
  test_tree tree(access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : std::filesystem::temp_directory_path());
  const std::string long_stem(200, 'n');
  std::string spine = tree.path();
  for (int level = 0; level < 4; ++level) {
    for (int sibling = 0; sibling < 8; ++sibling)
      empty_files(spine + "/s" + std::to_string(sibling), long_stem, 1000);
    spine += "/a";
  }
  for (int d = 0; d < 600; ++d) empty_files(spine + "/small" + std::to_string(d), "f", 1);
  empty_files(spine + "/zbig", std::string(240, 'y'), 20000);
  expect_fits_beside_threads(tree.path());
}

// A PATH longer than the system takes whole is reached a piece at a time,
// as a -F path is: the same report as of the same directory named by a
// short path from its parent, but for the PATH named as given; and the
// same through a link at the end of the long path.
TEST(Program, APathLongerThanThePathLimitIsScanned) {
  test_tree tree;
  std::string deep = tree.path();
  std::vector<std::string> levels;
  int fd = open(tree.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int level = 0; deep.size() <= PATH_MAX; ++level) {
    const std::string& name = levels.emplace_back(200, static_cast<char>('a' + level % 26));
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    deep += "/" + name;
  }
  const auto file = [fd](const char* name, std::size_t size) {
    const int made = openat(fd, name, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(made, 0);
    ASSERT_EQ(ftruncate(made, static_cast<off_t>(size)), 0);
    close(made);
  };
  ASSERT_EQ(mkdirat(fd, "top", 0755), 0);
  ASSERT_EQ(mkdirat(fd, "top/sub", 0755), 0);
  file("top/one", 3);
  file("top/sub/two", 5);
  ASSERT_EQ(linkat(fd, "top/one", fd, "top/sub/one-again", 0), 0);
  ASSERT_EQ(symlinkat("one", fd, "top/link"), 0);
  ASSERT_EQ(symlinkat("top", fd, "to-top"), 0);
  close(fd);
  // The child's descriptors are closed before it is set up: it climbs down
  // by name.
  const std::string root = tree.path();
  const finished_program near = run_twinfind({"top", "-V"}, -1, false, [&root, &levels] {
    if (chdir(root.c_str()) != 0) _exit(126);
    for (const std::string& name : levels)
      if (chdir(name.c_str()) != 0) _exit(126);
  });
  ASSERT_TRUE(near.exited(0)) << near.status << near.err;
  ASSERT_NE(near.out.find("Directories scanned:\n  top\n"), std::string::npos) << near.out;
  for (const char* last : {"top", "to-top"}) {
    SCOPED_TRACE(last);
    const std::string path = deep + "/" + last;
    const finished_program far = run_twinfind({path, "-V"});
    EXPECT_TRUE(far.exited(0)) << far.status << far.err;
    std::string report = far.out;
    const std::string scanned = "Directories scanned:\n  " + path + "\n";
    const std::size_t at = report.find(scanned);
    ASSERT_NE(at, std::string::npos) << report.substr(0, 2000);
    report.replace(at, scanned.size(), "Directories scanned:\n  top\n");
    EXPECT_EQ(report, near.out);
  }
}

TEST(Program, AFullDiskIsAFailureWithOneLineSayingSo) {
  const int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  test_tree tree;
  tree.file("f");
  const finished_program run = run_twinfind({tree.path()}, full);
  close(full);
  EXPECT_TRUE(run.exited(2)) << run.status;
  EXPECT_EQ(run.err, "twinfind: error writing standard output: No space left on device\n");
}

TEST(Program, AClosedDescriptorIsAFailureToo) {
  test_tree tree;
  const int closed = open("/dev/null", O_RDONLY);  // writes fail with EBADF
  const finished_program run = run_twinfind({tree.path()}, closed);
  close(closed);
  EXPECT_TRUE(run.exited(2)) << run.status;
  EXPECT_EQ(run.err.find("twinfind: error writing standard output: "), 0u) << run.err;
}

// A tree whose -C 1 listing is far larger than any pipe's buffer.
void many_files(const test_tree& tree) {
  for (int i = 0; i < 3000; ++i) tree.file("d" + std::to_string(i % 30) + "/file-" + std::to_string(i));
}

TEST(Program, AClosedPipeEndsTheProgramQuietly) {
  test_tree tree;
  many_files(tree);
  for (const bool ignore_sigpipe : {false, true}) {
    int out_pipe[2];
    ASSERT_EQ(pipe(out_pipe), 0);
    close(out_pipe[0]);  // the reader has gone before the first line
    const auto start = std::chrono::steady_clock::now();
    const finished_program run = run_twinfind({tree.path(), "-C", "1"}, out_pipe[1], ignore_sigpipe);
    close(out_pipe[1]);
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_TRUE(WIFSIGNALED(run.status) || !run.exited(0)) << run.status;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
}

// The screen of a terminal on which twinfind ran with `arguments`, or
// nullopt where the system has no pseudo-terminals.
std::optional<std::string> run_on_terminal(const std::vector<std::string>& arguments) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return std::nullopt;
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (terminal < 0) return std::nullopt;
  const finished_program run = run_twinfind(arguments, terminal);
  close(terminal);
  std::string screen = read_all(master);
  close(master);
  if (!run.exited(0)) screen += "\n[exit status " + std::to_string(run.status) + "]";
  return screen;
}

// On a terminal a name cannot drive it (C0 and C1 controls), reorder what
// it shows (bidi controls) or send bytes it cannot read; letters of the
// user's encoding stay as they are. Redirected output is never changed.
TEST(Program, NamesAreMaskedByTheUsersLocaleOnATerminalOnly) {
  test_tree tree;
  const std::vector<std::string> names = {
      "red\x1b[31mname\x07", "csi\xc2\x9b" "31m", "bidi\xe2\x80\xae" "txt.exe",
      "caf\xc3\xa9", "bad\xff" "byte"};
  for (const std::string& name : names) tree.file(name);
  const std::vector<std::string> arguments = {tree.path(), "-C", "1"};
  {
    scoped_environment utf8("LC_ALL", "C.UTF-8");
    const std::optional<std::string> screen = run_on_terminal(arguments);
    if (!screen) GTEST_SKIP() << "no pty";
    for (const char* shown :
         {"red?[31mname?", "csi?31m", "bidi?txt.exe", "caf\xc3\xa9", "bad?byte"}) {
      EXPECT_NE(screen->find(tree.path() + "/" + shown + "\r\n"), std::string::npos)
          << shown << " in " << *screen;
    }
    EXPECT_EQ(screen->find('\x1b'), std::string::npos);
    EXPECT_EQ(screen->find("\xc2\x9b"), std::string::npos);
    EXPECT_EQ(screen->find("\xe2\x80\xae"), std::string::npos);

    const finished_program redirected = run_twinfind(arguments);
    for (const std::string& name : names)
      EXPECT_NE(redirected.out.find(tree.path() + "/" + name + "\n"), std::string::npos) << name;
  }
  {
    // ASCII only: the é is two bytes the terminal cannot be trusted with.
    scoped_environment ascii("LC_ALL", "C");
    const std::optional<std::string> screen = run_on_terminal(arguments);
    ASSERT_TRUE(screen);
    EXPECT_NE(screen->find(tree.path() + "/caf??\r\n"), std::string::npos) << *screen;
  }
}

// The line naming a PATH that could not be scanned masks it on a terminal
// as the report does: standard error is masked where it is one.
TEST(Program, APathThatCannotBeScannedIsMaskedOnATerminal) {
  scoped_environment utf8("LC_ALL", "C.UTF-8");
  test_tree tree;
  const std::string missing = tree.path() + "/gone\x1b[31m";
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pty";
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  // Standard error on the terminal too, in place of the pipe.
  const finished_program run =
      run_twinfind({missing}, terminal, false, [] { dup2(STDOUT_FILENO, STDERR_FILENO); });
  close(terminal);
  const std::string screen = read_all(master);
  close(master);
  EXPECT_TRUE(run.exited(3)) << run.status;
  EXPECT_NE(screen.find("twinfind: cannot scan '" + tree.path() +
                        "/gone?[31m': No such file or directory\r\n"),
            std::string::npos)
      << screen;
  EXPECT_EQ(screen.find('\x1b'), std::string::npos);
}

// '?' in a -F pattern is one character of the user's encoding, as on
// Windows: in UTF-8 the two bytes of an é, and a byte that begins no
// character is one on its own.
TEST(Program, AQuestionMarkInAPatternIsOneCharacterOfTheUsersEncoding) {
  test_tree tree;
  for (const char* name : {"\xc3\xa9.txt", "\xff.txt", "ab.txt"}) tree.file(name);
  const std::vector<std::string> arguments = {"-F", tree.path() + "/?.txt"};
  struct locale_case {
    const char* locale;
    std::vector<std::string> matched;
  };
  for (const locale_case& c : {locale_case{"C.UTF-8", {"\xc3\xa9.txt", "\xff.txt"}},
                               locale_case{"C", {"\xff.txt"}}}) {
    SCOPED_TRACE(c.locale);
    scoped_environment locale("LC_ALL", c.locale);
    const finished_program run = run_twinfind(arguments);
    EXPECT_TRUE(run.exited(0)) << run.status << run.err;
    std::size_t breakdowns = 0;
    for (std::size_t at = run.out.find("Breakdown for"); at != std::string::npos;
         at = run.out.find("Breakdown for", at + 1))
      ++breakdowns;
    EXPECT_EQ(breakdowns, c.matched.size()) << run.out;
    for (const std::string& name : c.matched)
      EXPECT_NE(run.out.find("Breakdown for \"" + tree.path() + "/" + name + "\""),
                std::string::npos)
          << name << " in " << run.out;
  }
}

// The line of `text` that begins with `start`, without its line end.
std::string line_starting(const std::string& text, const std::string& start) {
  const std::size_t at = text.find("\n" + start);
  if (at == std::string::npos) return std::string();
  return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

TEST(Program, NumbersCarryTheLocalesWholeSeparatorAndKeepTheirColumns) {
  test_tree tree;
  tree.file("size");
  ASSERT_EQ(0, truncate(tree.path("size").c_str(), 2505096));  // sparse: takes no room
  struct {
    const char* locale;
    const char* number;  // right-aligned in 20 places, counted in characters
  } cases[] = {
      {"fr_FR.UTF-8", "           2\xe2\x80\xaf" "505\xe2\x80\xaf" "096"},
      {"de_CH.UTF-8", "           2\xe2\x80\x99" "505\xe2\x80\x99" "096"},
      {"de_DE.UTF-8", "           2.505.096"},
      {"C", "             2505096"},
  };
  std::string missing;
  for (const auto& expected : cases) {
    locale_t available = newlocale(LC_ALL_MASK, expected.locale, static_cast<locale_t>(0));
    if (!available) {
      missing += std::string(" ") + expected.locale;
      continue;
    }
    freelocale(available);
    const scoped_environment locale("LC_ALL", expected.locale);
    const finished_program run = run_twinfind({tree.path()});
    EXPECT_TRUE(run.exited(0)) << expected.locale;
    EXPECT_EQ(std::string("Naive file size:  ") + expected.number,
              line_starting(run.out, "Naive file size:"))
        << expected.locale;
  }
  if (!missing.empty()) GTEST_SKIP() << "locales not on this system:" << missing;
}

// A locale the system lacks for some category is no failure of the run,
// though the C++ runtime refuses the whole environment for one missing
// category: the numbers are grouped as LC_NUMERIC says where the system
// has that one, plain otherwise.
TEST(Program, ALocaleMissingForOneCategoryIsNoFailure) {
  const locale_t available = newlocale(LC_ALL_MASK, "en_US.UTF-8", static_cast<locale_t>(0));
  if (!available) GTEST_SKIP() << "no en_US.UTF-8 on this system";
  freelocale(available);
  test_tree tree;
  tree.file("size");
  ASSERT_EQ(0, truncate(tree.path("size").c_str(), 2505096));
  const scoped_environment numbers("LC_NUMERIC", "en_US.UTF-8");
  for (const char* missing : {"LC_PAPER", "LC_MESSAGES", "LC_NUMERIC"}) {
    SCOPED_TRACE(missing);
    const scoped_environment lacking(missing, "xx_NOWHERE.UTF-8");
    const finished_program run = run_twinfind({tree.path()});
    EXPECT_TRUE(run.exited(0)) << run.status << run.err;
    EXPECT_EQ(line_starting(run.out, "Naive file size:"),
              std::string("Naive file size:  ") +
                  (std::string(missing) == "LC_NUMERIC" ? "             2505096"
                                                        : "           2,505,096"));
  }
}

TEST(Program, ErrorLinesStayInOrderAfterStandardOutput) {
  test_tree tree;
  tree.file("plain");
  int both[2];
  ASSERT_EQ(pipe(both), 0);
  // Standard error goes to the same pipe as standard output, as with 2>&1.
  const pid_t child = spawn_twinfind({"-V", tree.path("plain")}, both[1], both[1]);
  close(both[1]);
  const std::string text = read_all(both[0]);
  close(both[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(text.find("Scanning directories and files...Scanning directories and files...Argument \""),
            0u)
      << text;
}

}  // namespace

}  // namespace cli
