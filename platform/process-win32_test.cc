// The process's set-up on Windows.
#include "platform/process.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

TEST(ProcessTest, CriticalErrorsFailWithoutADialogAndOtherModesStay) {
  const UINT before = GetErrorMode();
  SetErrorMode(SEM_NOGPFAULTERRORBOX);
  platform::fail_critical_errors_without_dialogs();
  const UINT after = GetErrorMode();
  SetErrorMode(before);
  EXPECT_EQ(static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX), after);
}

}  // namespace
