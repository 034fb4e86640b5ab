// The buffer both platforms share, with a half that records what it is
// handed: what a half keeps back comes to it again, a buffer that fills
// lets the text produced before it go first, and a failure ends the calls.
#include "term/console_buffer.h"

#include <gtest/gtest.h>

#include <ostream>

#include "testing/text_test_util.h"

namespace platform {
namespace {

// Records every call as "[text]" in one log shared by several buffers,
// with "w" when asked to write and "l" when last. Keeps back a final '^'
// (standing for the first half of a pair) unless last; fails with
// `fail_with` once it has been called `calls_before_failing` times.
struct recording_buffer : console_buffer {
  recording_buffer(native_string& log, std::size_t capacity, bool flush_on_sync,
                   recording_buffer* goes_before = nullptr)
      : console_buffer(&recording_buffer::record, flush_on_sync, capacity, goes_before),
        log(log) {}

  static std::size_t record(console_buffer& buffer, const native_char* text, std::size_t length,
                            bool write, bool last) {
    recording_buffer& self = static_cast<recording_buffer&>(buffer);
    if (self.calls++ == self.calls_before_failing) self.error = self.fail_with;
    std::size_t taken = length;
    if (!last && taken > 0 && text[taken - 1] == native_char('^')) --taken;
    self.log += T("[") + native_string(text, taken) + T("]");
    if (write) self.log += T("w");
    if (last) self.log += T("l");
    return taken;
  }

  native_string& log;
  int calls = 0;
  int calls_before_failing = -1;
  error_code fail_with = 0;
};

TEST(ConsoleBuffer, WhatTheHalfKeepsBackComesToItAgainAtTheFront) {
  native_string log;
  recording_buffer buffer(log, 4, false);
  std::basic_ostream<native_char> out(&buffer);
  out << T("abc^def^");
  // Full at "abc^": "abc" is taken, "^" kept back; then "^def" is full.
  EXPECT_EQ(T("[abc][^def]"), log);
  EXPECT_TRUE(buffer.write_out());
  EXPECT_EQ(T("[abc][^def][]w"), log);  // the "^" at the end still waits
  EXPECT_TRUE(buffer.write_out(true));
  EXPECT_EQ(T("[abc][^def][]w[^]wl"), log);
  EXPECT_FALSE(buffer.ends_line());
}

TEST(ConsoleBuffer, OnlyAFlushOrTheEndAsksTheHalfToWrite) {
  native_string log;
  recording_buffer gathering(log, 4, false);
  std::basic_ostream<native_char> out(&gathering);
  out << T("abcde") << std::flush;  // a flush of a gathering buffer passes nothing on
  EXPECT_EQ(T("[abcd]"), log);
  log.clear();
  recording_buffer at_each_flush(log, 64, true);
  std::basic_ostream<native_char> shown(&at_each_flush);
  shown << T("x") << std::flush;
  shown << T("\n") << std::flush;
  EXPECT_EQ(T("[x]w[\n]w"), log);
  EXPECT_TRUE(at_each_flush.ends_line());
}

// As with `twinfind ... >file 2>&1`: standard error's buffer filling up
// must not overtake what standard output produced before.
TEST(ConsoleBuffer, TheTextProducedBeforeGoesFirstWhenTheBufferFills) {
  native_string log;
  recording_buffer output(log, 64, false);
  recording_buffer errors(log, 4, true, &output);
  std::basic_ostream<native_char> out(&output);
  std::basic_ostream<native_char> err(&errors);
  out << T("one\n");
  err << T("long message");
  EXPECT_EQ(0u, log.find(T("[one\n]w[long]")));
  err << std::flush;
  out << T("two\n");
  EXPECT_TRUE(errors.write_out(true));
  EXPECT_EQ(T("[one\n]w[long][]w[ mes][]w[sage]w[two\n]wl[]wl"), log);
}

TEST(ConsoleBuffer, AfterTheFirstFailureTheHalfIsNotCalledAndTheStreamGoesBad) {
  native_string log;
  recording_buffer buffer(log, 4, false);
  buffer.calls_before_failing = 1;
  buffer.fail_with = 28;
  std::basic_ostream<native_char> out(&buffer);
  out << T("abcdefghij");
  EXPECT_TRUE(out.bad());
  EXPECT_EQ(T("[abcd][efgh]"), log);  // the second call failed
  EXPECT_FALSE(buffer.write_out(true));
  out.clear();
  out << T("x\n");
  EXPECT_FALSE(buffer.write_out(true));
  EXPECT_EQ(T("[abcd][efgh]"), log);
  EXPECT_EQ(28u, buffer.error);
  EXPECT_TRUE(buffer.ends_line());  // the dropped text still counts
}

}  // namespace
}  // namespace platform
