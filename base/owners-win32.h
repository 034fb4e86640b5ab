// Owners of what the Windows half opens: a file handle is closed, a search
// ended, when its owner goes, on every way out of a function; and the
// thread's last error survives the cleanup, so a failure's code does too.
#ifndef TWINFIND_BASE_OWNERS_WIN32_H_
#define TWINFIND_BASE_OWNERS_WIN32_H_

#include <windows.h>

namespace platform {

template <typename closer>
class owned_handle {
 public:
  explicit owned_handle(HANDLE handle) : handle_(handle) {}
  ~owned_handle() {
    if (!valid()) return;
    const DWORD saved = GetLastError();
    closer::close(handle_);
    SetLastError(saved);
  }
  owned_handle(const owned_handle&) = delete;
  owned_handle& operator=(const owned_handle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

 private:
  HANDLE handle_;
};

struct handle_closer {
  static void close(HANDLE handle) { CloseHandle(handle); }
};
struct search_closer {
  static void close(HANDLE handle) { FindClose(handle); }
};

// A handle from CreateFileW.
using unique_handle = owned_handle<handle_closer>;
// A search from FindFirstFileW.
using unique_search = owned_handle<search_closer>;

}  // namespace platform

#endif  // TWINFIND_BASE_OWNERS_WIN32_H_
