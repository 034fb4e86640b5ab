// The standard streams on POSIX: bytes exactly as given, written in blocks.
#include "term/console-posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "term/console.h"
#include "base/result.h"

namespace platform {

namespace {

// The buffers of standard output and standard error, once installed. They
// are never destroyed: std::cout and std::cerr are flushed during the very
// last steps of exit, after every static object is gone.
output_buffer* output = nullptr;
output_buffer* errors = nullptr;
bool output_is_terminal = false;
bool errors_is_terminal = false;

// The reader of our pipe is gone (`twinfind / | head` once head has its
// lines). Nobody will read another byte, so the program ends now, silently,
// with the status a shell expects from SIGPIPE. We only get here when the
// parent left SIGPIPE ignored or blocked; otherwise the signal itself has
// already ended us inside write().
[[noreturn]] void end_for_closed_pipe() {
  signal(SIGPIPE, SIG_DFL);
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigprocmask(SIG_UNBLOCK, &pipe_only, nullptr);
  raise(SIGPIPE);
  _exit(128 + SIGPIPE);
}

// Writes all `size` bytes. A signal may cut a write short or interrupt it
// before any byte went out, and a descriptor inherited in non-blocking mode
// may refuse for a while; none of these is a failure. Fails with the errno
// of the failure.
result<> write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written > 0) {
      data += written;
      size -= static_cast<std::size_t>(written);
      continue;
    }
    if (written == 0) return failed(EIO);  // no progress and no reason: do not spin
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready = {fd, POLLOUT, 0};
      poll(&ready, 1, -1);
      continue;
    }
    if (errno == EPIPE) end_for_closed_pipe();
    return failed(static_cast<error_code>(errno));
  }
  return succeeded();
}

void write_out_at_exit() {
  // A program that returns without finish_output() still gets its text out;
  // a failure here can no longer be reported.
  if (errors) errors->write_out();
}

// A standard descriptor that the parent closed would be handed out again by
// the next open(), and our text would go to whatever file that was. Keep
// the number taken with /dev/null, and return -1, on which every write
// fails with EBADF as it would have on the closed descriptor.
int reserve_if_closed(int fd) {
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return fd;
  int null = open("/dev/null", O_WRONLY);
  if (null != -1 && null != fd) {
    dup2(null, fd);
    close(null);
  }
  return -1;
}

}  // namespace

output_buffer::output_buffer(int fd, bool flush_on_sync, std::size_t capacity,
                             output_buffer* goes_before)
    : console_buffer(&output_buffer::write_bytes, flush_on_sync, capacity, goes_before),
      fd(fd) {}

std::size_t output_buffer::write_bytes(console_buffer& buffer, const char* text,
                                       std::size_t length, bool, bool) {
  output_buffer& self = static_cast<output_buffer&>(buffer);
  self.error = write_all(self.fd, text, length).error;
  return length;
}

native_ostream& standard_output() { return std::cout; }
native_ostream& standard_error() { return std::cerr; }

void install_output_layer() {
  if (output) return;
  output_is_terminal = isatty(1) == 1;
  errors_is_terminal = isatty(2) == 1;
  output = new output_buffer(reserve_if_closed(1), output_is_terminal);
  // Standard error writes at every flush, wherever it goes: a message must
  // not wait behind a full block. unitbuf flushes after every insertion.
  errors = new output_buffer(reserve_if_closed(2), true, 4096, output);
  std::cout.rdbuf(output);
  std::cerr.rdbuf(errors);
  std::cerr.setf(std::ios_base::unitbuf);
  std::atexit(write_out_at_exit);
}

bool finish_output(native_string& problem) {
  if (!output) {
    if (std::cout.flush()) return true;
    problem = std::strerror(EIO);
    return false;
  }
  if (output->write_out()) return true;
  problem = std::strerror(static_cast<int>(output->error));
  return false;
}

void end_open_line() {
  if (output && !output->ends_line()) std::cout.put('\n');
}

bool masks_control_characters(const native_ostream& stream) {
  if (&stream == &std::cout) return output_is_terminal;
  if (&stream == &std::cerr) return errors_is_terminal;
  return false;
}

}  // namespace platform
