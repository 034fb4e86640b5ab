// How a call of the platform layer ended: the one shape in which every call
// that can fail reports, so that no failure passes unreported and no code
// is read where none was set.
#ifndef TWINFIND_BASE_RESULT_H_
#define TWINFIND_BASE_RESULT_H_

#include <cstdint>

namespace platform {

// The system's own code of a failure: a GetLastError() value on Windows, an
// errno value on POSIX. Codes are only ever printed.
using error_code = std::uint32_t;

// `outcome` says what came of the call: true or false, or an outcome of its
// own where failures differ (an entry not found, or found but not opened);
// `error` is the system's code when the outcome is a failure, else 0.
// [[nodiscard]]: the compiler rejects a call whose result is dropped, so an
// unreported failure takes a cast that says so.
template <typename outcome_type = bool>
struct [[nodiscard]] result {
  outcome_type outcome{};
  error_code error = 0;
};

[[nodiscard]] inline result<> succeeded() { return result<>{true, 0}; }
[[nodiscard]] inline result<> failed(error_code error) { return result<>{false, error}; }

}  // namespace platform

#endif  // TWINFIND_BASE_RESULT_H_
