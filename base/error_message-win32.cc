// The system's words for a GetLastError() value.
#include "base/error_message.h"

#include <windows.h>

#include <string>

namespace platform {

native_string error_message(error_code code) {
  wchar_t text[512];
  const DWORD capacity = static_cast<DWORD>(sizeof(text) / sizeof(text[0]));
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, text, capacity, nullptr);
  // The system's text ends in a line end, which the caller writes itself.
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                        text[length - 1] == L' ')) {
    --length;
  }
  if (length == 0) return L"error " + std::to_wstring(code);
  return native_string(text, length);
}

}  // namespace platform
