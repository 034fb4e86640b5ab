// The current directory, set for one test: put back when the record goes,
// however the test ends (a failed ASSERT returns early), so that no later
// test resolves relative paths against a directory a former one left.
#ifndef TWINFIND_TESTING_CURRENT_DIRECTORY_TEST_UTIL_WIN32_H_
#define TWINFIND_TESTING_CURRENT_DIRECTORY_TEST_UTIL_WIN32_H_

#include <windows.h>

#include <string>

class current_directory {
 public:
  explicit current_directory(const std::wstring& path) {
    wchar_t saved[MAX_PATH + 1];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, saved);
    saved_.assign(saved, length <= MAX_PATH ? length : 0);
    set_ = SetCurrentDirectoryW(path.c_str()) != 0;
  }
  ~current_directory() { SetCurrentDirectoryW(saved_.c_str()); }
  current_directory(const current_directory&) = delete;
  current_directory& operator=(const current_directory&) = delete;

  // False when the directory could not be entered (the test then stays
  // where it was).
  bool set() const { return set_; }

 private:
  std::wstring saved_;
  bool set_ = false;
};

#endif  // TWINFIND_TESTING_CURRENT_DIRECTORY_TEST_UTIL_WIN32_H_
