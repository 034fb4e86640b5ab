// The program as users run it: exit codes, a full disk, a closed pipe and a
// terminal, checked on the real binary.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "cli/spawn_test_util-posix.h"
#include "scan/test_tree.h"

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
finished_program run_twinfind(const std::vector<std::string>& arguments, int out_fd = -1,
                              bool ignore_sigpipe = false) {
  int out_pipe[2] = {-1, -1};
  int err_pipe[2];
  if (out_fd < 0 && pipe(out_pipe) != 0) return {};
  if (pipe(err_pipe) != 0) return {};
  const pid_t child =
      spawn_twinfind(arguments, out_fd >= 0 ? out_fd : out_pipe[1], err_pipe[1], ignore_sigpipe);
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
// report stays as it is, one line on standard error counts the errors (in
// verbose mode their own lines show them instead) and the exit code is 3.
TEST(Program, ScanErrorsEndWithCodeThreeAndACount) {
  test_tree tree;
  tree.file("f");
  const std::string missing = tree.path() + "/no-such-entry";
  const std::string not_a_directory = tree.path() + "/f";
  const std::string counted = "twinfind: errors while scanning: ";
  struct error_case {
    std::vector<std::string> arguments;
    int errors;
  };
  const std::vector<error_case> cases = {
      {{missing}, 1},
      {{not_a_directory}, 1},
      {{"-F", missing}, 1},
      {{"-F", tree.path() + "/nothing-matches-*"}, 1},
      {{missing, not_a_directory, "-F", missing}, 3},
  };
  for (const error_case& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + std::to_string(c.errors));
    const finished_program quiet = run_twinfind(c.arguments);
    EXPECT_TRUE(quiet.exited(3)) << quiet.status;
    EXPECT_EQ(quiet.err, counted + std::to_string(c.errors) + " (run with -V to see them)\n");

    std::vector<std::string> verbose_arguments = c.arguments;
    verbose_arguments.insert(verbose_arguments.begin(), "-V");
    const finished_program verbose = run_twinfind(verbose_arguments);
    EXPECT_TRUE(verbose.exited(3)) << verbose.status;
    EXPECT_EQ(verbose.err.find(counted), std::string::npos) << verbose.err;
  }
  const finished_program clean = run_twinfind({tree.path(), "-F", not_a_directory});
  EXPECT_TRUE(clean.exited(0)) << clean.status;
  EXPECT_EQ(clean.err, "");
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

TEST(Program, ControlCharactersInNamesAreMaskedOnATerminalOnly) {
  test_tree tree;
  tree.file("red\x1b[31mname\x07");
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pty";
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  const finished_program on_terminal = run_twinfind({tree.path(), "-C", "1"}, terminal);
  close(terminal);
  const std::string screen = read_all(master);
  close(master);
  EXPECT_TRUE(on_terminal.exited(0));
  EXPECT_NE(screen.find("red?[31mname?"), std::string::npos) << screen;
  EXPECT_EQ(screen.find('\x1b'), std::string::npos);

  const finished_program redirected = run_twinfind({tree.path(), "-C", "1"});
  EXPECT_NE(redirected.out.find("red\x1b[31mname\x07"), std::string::npos);
}

TEST(Program, ErrorLinesStayInOrderAfterStandardOutput) {
  test_tree tree;
  tree.file("plain");
  int both[2];
  ASSERT_EQ(pipe(both), 0);
  // Standard error goes to the same pipe as standard output, as with 2>&1.
  const pid_t child = fork();
  if (child == 0) {
    dup2(both[1], 1);
    dup2(both[1], 2);
    close(both[0]);
    const std::string plain = tree.path("plain");
    execl(TWINFIND_BINARY, TWINFIND_BINARY, "-V", plain.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
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
