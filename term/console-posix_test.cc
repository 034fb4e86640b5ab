// The POSIX output layer: blocks when redirected, lines on a terminal,
// failed writes reported, closed pipes ending the program quietly.
//
// Tests that install the layer on the real standard streams, or that end
// the process, run in a forked child and report through its exit status.
#include "term/console-posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "term/console.h"

namespace {

using platform::output_buffer;

// Everything readable on `fd` now, without waiting.
std::string drain(int fd) {
  std::string text;
  char chunk[4096];
  for (;;) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 0) != 1) return text;
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) return text;
    text.append(chunk, static_cast<std::size_t>(got));
  }
}

std::string file_text(int fd) {
  std::string text(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(static_cast<ssize_t>(text.size()), pread(fd, &text[0], text.size(), 0));
  return text;
}

struct pipe_fds {
  pipe_fds() { EXPECT_EQ(0, pipe(fd)); }
  ~pipe_fds() { close(fd[0]); close(fd[1]); }
  int fd[2];
};

// Starts `body` in a child process, which exits with what it returns.
template <typename Body>
pid_t start_child(Body body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int wait_child(pid_t pid) {
  int status = -1;
  waitpid(pid, &status, 0);
  return status;
}

bool exited_with(int status, int code) {
  return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST(OutputBufferTest, RedirectedLinesWaitForAFullBlockOrTheEnd) {
  pipe_fds pipe;
  output_buffer buffer(pipe.fd[1], false);
  std::ostream out(&buffer);
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    out << "line " << i << std::endl;
    expected += "line " + std::to_string(i) + "\n";
  }
  EXPECT_EQ("", drain(pipe.fd[0]));  // not one write for a thousand flushes
  EXPECT_TRUE(buffer.write_out());
  EXPECT_EQ(expected, drain(pipe.fd[0]));

  std::FILE* file = std::tmpfile();
  output_buffer blocks(fileno(file), false, 4096);
  std::ostream block_out(&blocks);
  for (int i = 0; i < 1000; ++i) block_out << "twenty bytes a line" << std::endl;
  // Only whole blocks have been written; the rest waits for the end.
  off_t written = lseek(fileno(file), 0, SEEK_END);
  EXPECT_EQ(0, written % 4096);
  EXPECT_GE(written, 20000 - 4096);
  EXPECT_TRUE(blocks.write_out());
  EXPECT_EQ(20000, lseek(fileno(file), 0, SEEK_END));
  std::fclose(file);
}

// A run that ends early ends the progress line it left open, and only then.
TEST(OutputBufferTest, AnOpenLineIsKnownWhetherWrittenOutOrNot) {
  pipe_fds pipe;
  output_buffer buffer(pipe.fd[1], false, 8);
  std::ostream out(&buffer);
  EXPECT_TRUE(buffer.ends_line());  // nothing yet
  out << "Scanning";
  EXPECT_FALSE(buffer.ends_line());
  out << "..." << std::flush;  // past the 8 bytes: partly written out
  EXPECT_FALSE(buffer.ends_line());
  out << "\n";
  EXPECT_TRUE(buffer.ends_line());
  EXPECT_TRUE(buffer.write_out());
  EXPECT_TRUE(buffer.ends_line());
  out << "\b\b";
  EXPECT_TRUE(buffer.write_out());
  EXPECT_FALSE(buffer.ends_line());
  EXPECT_EQ("Scanning...\n\b\b", drain(pipe.fd[0]));
}

TEST(OutputBufferTest, TerminalLinesGoOutAtEachFlush) {
  pipe_fds pipe;
  output_buffer buffer(pipe.fd[1], true);
  std::ostream out(&buffer);
  out << "one" << std::endl;
  EXPECT_EQ("one\n", drain(pipe.fd[0]));
  out << "two" << std::flush;
  EXPECT_EQ("two", drain(pipe.fd[0]));
}

TEST(OutputBufferTest, ErrorsFollowTheOutputProducedBeforeThem) {
  // As with `twinfind ... >file 2>&1`: one file behind both streams.
  std::FILE* file = std::tmpfile();
  output_buffer output(fileno(file), false);
  output_buffer errors(fileno(file), true, 4096, &output);
  std::ostream out(&output);
  std::ostream err(&errors);
  out << "one" << std::endl;
  err << "two" << std::endl;
  EXPECT_EQ("one\ntwo\n", file_text(fileno(file)));  // the error did not wait
  out << "three" << std::endl;
  EXPECT_TRUE(output.write_out());
  EXPECT_EQ("one\ntwo\nthree\n", file_text(fileno(file)));
  std::fclose(file);
}

TEST(OutputBufferTest, TheFirstFailedWriteIsKeptAndStopsTheStream) {
  int full = open("/dev/full", O_WRONLY);
  ASSERT_NE(-1, full);
  output_buffer buffer(full, false, 16);
  std::ostream out(&buffer);
  out << "more than sixteen bytes" << std::endl;
  EXPECT_TRUE(out.bad());
  EXPECT_FALSE(buffer.write_out());
  EXPECT_EQ(ENOSPC, buffer.error);

  // Nothing more is written, not even to a descriptor that would take it.
  pipe_fds pipe;
  buffer.fd = pipe.fd[1];
  buffer.sputn("late", 4);
  EXPECT_FALSE(buffer.write_out());
  EXPECT_EQ(ENOSPC, buffer.error);
  EXPECT_EQ("", drain(pipe.fd[0]));
  close(full);

  int closed = dup(0);
  close(closed);
  output_buffer closed_buffer(closed, true);
  std::ostream closed_out(&closed_buffer);
  closed_out << "x" << std::endl;
  EXPECT_TRUE(closed_out.bad());
  EXPECT_EQ(EBADF, closed_buffer.error);
}

int got_alarm = 0;
void count_alarm(int) { ++got_alarm; }

// Writes 1 MiB through the buffer while the reader is slow, a timer signal
// interrupts writes (no SA_RESTART) and, if asked, the pipe is non-blocking:
// short writes, EINTR and EAGAIN must all lose and repeat nothing.
void check_interrupted_writes(bool non_blocking) {
  const std::size_t total = 1 << 20;
  pipe_fds pipe;
  pid_t child = start_child([&] {
    close(pipe.fd[0]);
    if (non_blocking) fcntl(pipe.fd[1], F_SETFL, O_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = count_alarm;
    sigaction(SIGALRM, &action, nullptr);
    itimerval every_ms = {{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    output_buffer buffer(pipe.fd[1], false);
    std::ostream out(&buffer);
    for (std::size_t i = 0; i < total; ++i) out.put(static_cast<char>('a' + i % 26));
    return buffer.write_out() ? 0 : 1;
  });
  close(pipe.fd[1]);
  pipe.fd[1] = dup(pipe.fd[0]);  // keeps the destructor's close harmless
  std::string text;
  char chunk[8192];
  ssize_t got;
  while ((got = read(pipe.fd[0], chunk, sizeof chunk)) != 0) {
    if (got < 0) continue;
    text.append(chunk, static_cast<std::size_t>(got));
    usleep(50);
  }
  EXPECT_TRUE(exited_with(wait_child(child), 0));
  ASSERT_EQ(total, text.size());
  for (std::size_t i = 0; i < total; ++i) {
    if (text[i] != static_cast<char>('a' + i % 26)) {
      ADD_FAILURE() << "byte " << i << " is wrong";
      break;
    }
  }
}

TEST(OutputBufferTest, InterruptedAndShortWritesLoseNothing) {
  check_interrupted_writes(false);
  check_interrupted_writes(true);
}

// The layer installed on the real standard streams, in a child process
// whose descriptors 1 and 2 are set up by `redirect`.
template <typename Redirect, typename Body>
int with_output_layer(Redirect redirect, Body body) {
  return wait_child(start_child([&] {
    redirect();
    platform::install_output_layer();
    return body();
  }));
}

TEST(OutputLayerTest, OneFileForBothStreamsGetsTheLinesInOrderAndNamesUnchanged) {
  std::FILE* file = std::tmpfile();
  int status = with_output_layer(
      [&] {
        dup2(fileno(file), 1);
        dup2(fileno(file), 2);
      },
      [] {
        if (platform::masks_control_characters(std::cout) ||
            platform::masks_control_characters(std::cerr))
          return 1;
        std::cout << "name " << platform::shown("a\x1b[2Jb") << std::endl;
        std::cerr << "twinfind: warning" << std::endl;
        std::cout << "end" << std::endl;
        platform::native_string problem;
        return platform::finish_output(problem) ? 0 : 2;
      });
  EXPECT_TRUE(exited_with(status, 0)) << status;
  EXPECT_EQ("name a\x1b[2Jb\ntwinfind: warning\nend\n", file_text(fileno(file)));
  std::fclose(file);
}

TEST(OutputLayerTest, TextLeftAtExitIsWrittenOut) {
  std::FILE* file = std::tmpfile();
  int status = with_output_layer([&] { dup2(fileno(file), 1); },
                                 [] {
                                   std::cout << "no finish_output" << std::endl;
                                   std::exit(0);
                                   return 1;
                                 });
  EXPECT_TRUE(exited_with(status, 0));
  EXPECT_EQ("no finish_output\n", file_text(fileno(file)));
  std::fclose(file);
}

// Exits 0 when finish_output() failed with the text of `error`.
int expect_failure(int error) {
  for (int i = 0; i < 10000; ++i) std::cout << "line " << i << std::endl;
  platform::native_string problem;
  if (platform::finish_output(problem)) return 1;
  return problem == std::strerror(error) ? 0 : 2;
}

TEST(OutputLayerTest, AFullDiskIsReported) {
  int status = with_output_layer(
      [] {
        int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
        close(full);
      },
      [] { return expect_failure(ENOSPC); });
  EXPECT_TRUE(exited_with(status, 0)) << status;
}

TEST(OutputLayerTest, AClosedStandardOutputIsReportedAndNotReused) {
  int status = with_output_layer([] { close(1); },
                                 [] {
                                   // A file opened later must not become the output.
                                   int opened = open("/dev/null", O_RDONLY);
                                   if (opened == 1) return 3;
                                   return expect_failure(EBADF);
                                 });
  EXPECT_TRUE(exited_with(status, 0)) << status;
}

// `twinfind / | head` with SIGPIPE ignored or blocked by the parent: the
// write meets EPIPE, and the program must end at once without a word.
void check_closed_pipe(void (*prepare_sigpipe)()) {
  pipe_fds output, errors;
  close(output.fd[0]);  // the reader is gone before the first write
  output.fd[0] = dup(output.fd[1]);
  int status = with_output_layer(
      [&] {
        dup2(output.fd[1], 1);
        dup2(errors.fd[1], 2);
        prepare_sigpipe();
      },
      [] {
        for (int i = 0; i < 100000; ++i) std::cout << "line " << i << std::endl;
        platform::native_string problem;
        platform::finish_output(problem);
        std::cerr << "still running" << std::endl;
        return 3;
      });
  EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) ||
              exited_with(status, 128 + SIGPIPE))
      << status;
  EXPECT_EQ("", drain(errors.fd[0]));
}

TEST(OutputLayerTest, AClosedPipeEndsTheProgramQuietly) {
  check_closed_pipe([] { signal(SIGPIPE, SIG_IGN); });
  check_closed_pipe([] {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_only, nullptr);
  });
}

TEST(OutputLayerTest, OnATerminalNamesAreMaskedAndLinesGoOutAtOnce) {
  int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  if (terminal == -1 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
    GTEST_SKIP() << "no pseudo-terminal available";
  std::string device = ptsname(terminal);
  pipe_fds go_on;
  pid_t child = start_child([&] {
    int side = open(device.c_str(), O_RDWR | O_NOCTTY);
    dup2(side, 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    platform::install_output_layer();
    if (!platform::masks_control_characters(std::cout) ||
        platform::masks_control_characters(std::cerr))
      return 1;
    // ASCII only: beyond it the masking follows the locale (masking-posix_test.cc).
    std::cout << platform::shown("a\x1b[2J\x7f.") << std::endl;
    char byte;
    return read(go_on.fd[0], &byte, 1) == 1 ? 0 : 2;  // no finish_output yet
  });
  std::string seen;
  char chunk[256];
  pollfd ready = {terminal, POLLIN, 0};
  while (seen.find('\n') == std::string::npos && poll(&ready, 1, 5000) == 1) {
    ssize_t got = read(terminal, chunk, sizeof chunk);
    if (got <= 0) break;
    seen.append(chunk, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(1, write(go_on.fd[1], "x", 1));
  EXPECT_TRUE(exited_with(wait_child(child), 0));
  EXPECT_EQ(0u, seen.find("a?[2J?.")) << seen;
  close(terminal);
}

}  // namespace
