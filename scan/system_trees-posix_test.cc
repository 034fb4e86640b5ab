// The real program on the system's own trees: /proc, whose entries come and
// go while it is walked and whose files claim sizes they do not have; /sys,
// with its links everywhere; /dev, with its device nodes, FIFOs and mount
// points. Each must be walked to its summary. A hang here would hang the
// suite, so the test ends a run that goes on far too long and fails it. What
// these meet depends on the host: their suite's name puts them under the
// ctest label "stress".
#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "testing/spawn_test_util-posix.h"

namespace scan {

namespace {

struct bounded_run {
  bool finished = false;  // false: it was still running at the bound, and killed
  int status = 0;
  std::string out;
  std::string err;
  bool exited(int code) const { return finished && WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Runs twinfind with `arguments`, reading both its outputs as they come, and
// kills it if it has not ended `bound` after its start.
bounded_run run_bounded(const std::vector<std::string>& arguments, std::chrono::seconds bound) {
  bounded_run result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0) return result;
  if (pipe(err_pipe) != 0) return result;
  const pid_t child = spawn_twinfind(arguments, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* texts[2] = {&result.out, &result.err};
  int open_pipes = 2;
  bool killed = false;
  while (open_pipes > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(child, SIGKILL);
      killed = true;
      break;
    }
    const int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;  // poll ignores it from now on
        --open_pipes;
      }
    }
  }
  for (const pollfd& fd : fds)
    if (fd.fd >= 0) close(fd.fd);
  waitpid(child, &result.status, 0);
  result.finished = !killed;
  return result;
}

bool is_directory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Walks `tree` three ways: quietly, verbose, and listing every file with one
// link (so every name is printed); each must end with its summary.
// A tree that is not here skips the test.
void walk_to_the_summary(const char* tree) {
  if (!is_directory(tree)) GTEST_SKIP() << tree << " is not here";
  const std::vector<std::vector<std::string>> command_lines = {
      {tree}, {"-V", tree}, {tree, "-C", "1"}};
  for (const std::vector<std::string>& arguments : command_lines) {
    std::string shown;
    for (const std::string& argument : arguments) shown += argument + " ";
    SCOPED_TRACE(shown);
    const bounded_run run = run_bounded(arguments, std::chrono::seconds(60));
    ASSERT_TRUE(run.finished) << "still running after 60 s: killed";
    // Entries of a live tree vanish and some cannot be read: such a run
    // completes, and says that it met errors.
    EXPECT_TRUE(run.exited(0) || run.exited(3))
        << "status " << run.status << "\n" << run.err.substr(0, 2000);
    // Every PATH is a directory and the scan's own errors go to standard
    // output in verbose mode; otherwise one line counts them.
    if (run.exited(0) || arguments[0] == "-V") {
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_EQ(run.err.rfind("twinfind: errors while scanning: ", 0), 0u) << run.err;
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
    EXPECT_NE(run.out.find("Directories scanned:\n  " + std::string(tree) + "\n"), std::string::npos)
        << run.out.substr(0, 2000);
    EXPECT_NE(run.out.find("Attributes:"), std::string::npos);
    EXPECT_NE(run.out.find("Hardlinks:"), std::string::npos);
    EXPECT_NE(run.out.find("Unique file size:"), std::string::npos);
  }
}

// A link to the directory of the walking process itself: its fd directory
// holds the walk's own descriptors, which open and close as it goes.
TEST(SystemTreesStress, ProcSelfIsWalkedToTheSummary) { walk_to_the_summary("/proc/self"); }

// Every process's entries, appearing and vanishing during the walk.
TEST(SystemTreesStress, AllOfProcIsWalkedToTheSummary) { walk_to_the_summary("/proc"); }

TEST(SystemTreesStress, SysKernelIsWalkedToTheSummary) { walk_to_the_summary("/sys/kernel"); }

// Links into /sys/devices by the thousand: none may be entered.
TEST(SystemTreesStress, AllOfSysIsWalkedToTheSummary) { walk_to_the_summary("/sys"); }

TEST(SystemTreesStress, DevIsWalkedToTheSummary) { walk_to_the_summary("/dev"); }

}  // namespace

}  // namespace scan
