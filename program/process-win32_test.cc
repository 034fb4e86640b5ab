// The process's set-up on Windows.
#include "program/process.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// Sets the process's error mode while it lives, and puts back the one
// there was when it goes, however the test ends.
struct error_mode_for_test {
  explicit error_mode_for_test(UINT mode) : before(GetErrorMode()) { SetErrorMode(mode); }
  ~error_mode_for_test() { SetErrorMode(before); }
  error_mode_for_test(const error_mode_for_test&) = delete;
  error_mode_for_test& operator=(const error_mode_for_test&) = delete;

  UINT before;
};

TEST(ProcessTest, CriticalErrorsFailWithoutADialogAndOtherModesStay) {
  const error_mode_for_test mode(SEM_NOGPFAULTERRORBOX);
  platform::fail_critical_errors_without_dialogs();
  EXPECT_EQ(static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX), GetErrorMode());
}

}  // namespace
