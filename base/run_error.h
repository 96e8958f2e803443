#pragma once

#include <cerrno>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvex {

// What kind of thing failed. Each layer says what failed; app/ decides what that means to
// the caller (the exit status).
enum class Failure {
  kSystem,      // the OS refused: a file, the log, the serial port, the line's I/O
  kPortInUse,   // another program holds the serial port
  kLogInUse,    // another run of this installation holds the log
  kLogInCheck,  // only checks of this installation hold the log: a delivery may wait
  kSetting,     // a setting that cannot be converted or used
  kStopped,     // a signal stopped the run; the number is the signal's
};

// Error numbers are errno values ("Error #2" is ENOENT), except the two conversion errors
// below, which keep the numbers BASIC gave them and share that space: #6 and #13 also name
// ENXIO and EACCES, and the description tells which is meant.
inline constexpr int32_t kErrorOverflow = 6;
inline constexpr int32_t kErrorTypeMismatch = 13;

// The one failure type of a run: it unwinds every operation up to Form_Load's handler.
class RunError : public std::runtime_error {
 public:
  RunError(int32_t number, const std::string& description, Failure failure = Failure::kSystem)
      : std::runtime_error(description), number_(number), failure_(failure) {}

  int32_t number() const { return number_; }
  std::string description() const { return what(); }
  Failure failure() const { return failure_; }

 private:
  int32_t number_;
  Failure failure_;
};

// A failure of the OS: carries errno and appends strerror's text to `what`.
RunError OsError(int errnoValue, const std::string& what, Failure failure = Failure::kSystem);

// "Error #N (description) occurred during initialization...", as a run reports a failure.
std::string RunErrorText(const RunError& error);

// Runs `body` and returns what it returns; any failure reaches `handle` as a RunError, out
// of memory and unexpected exceptions included, so that every way out passes one handler.
template <typename Body, typename Handle>
int WithOneHandler(Body body, Handle handle) {
  try {
    return body();
  } catch (const RunError& error) {
    return handle(error);
  } catch (const std::bad_alloc&) {
    return handle(RunError(ENOMEM, "Out of memory"));
  } catch (const std::exception& error) {
    return handle(RunError(ENOTRECOVERABLE, std::string("Internal error: ") + error.what()));
  }
}

// The failure of the call that just returned: errno is taken before `describe` builds the
// text, since building it may allocate, and an allocation may change errno.
template <typename Describe>
RunError LastOsError(Describe describe, Failure failure = Failure::kSystem) {
  const int error = errno;
  return OsError(error, describe(), failure);
}

}  // namespace quorvex
