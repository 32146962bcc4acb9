// Run-time errors: one exception type carrying the service's error number and its description.
// The number decides behaviour in the take-over and the job procedure; the description is
// only ever written to the log.
#ifndef PLOTSPOOL_BASE_ERROR_H_
#define PLOTSPOOL_BASE_ERROR_H_

#include <stdexcept>
#include <string>
#include <string_view>

namespace plotspool {

enum ErrorNumber : int {
  kInvalidProcedureCall = 5,
  kOverflow = 6,
  kOutOfMemory = 7,
  kDivisionByZero = 11,
  kTypeMismatch = 13,
  kBadFileName = 52,
  kFileNotFound = 53,
  kFileAlreadyOpen = 55,
  kDeviceIoError = 57,
  kFileAlreadyExists = 58,
  kDiskFull = 61,
  kInputPastEndOfFile = 62,
  kPermissionDenied = 70,
  kPathFileAccessError = 75,
  kPathNotFound = 76,
  kInvalidPropertyValue = 380,
  kPrinterError = 482,
};

// The fixed description of `number`; "Application-defined or object-defined error" for
// numbers outside the table.
std::string_view ErrorDescription(int number);

class RuntimeError : public std::runtime_error {
 public:
  // Description defaults to the fixed text of `number`.
  explicit RuntimeError(int number);
  RuntimeError(int number, std::string description);

  int number() const { return number_; }
  const std::string& description() const { return description_; }

 private:
  int number_;
  std::string description_;
};

// The skip-and-remember regime: a failing step records its error here and the job goes on;
// a later check reads the error and clears it. Number 0 means nothing is pending.
class PendingError {
 public:
  void Set(const RuntimeError& error) {
    number_ = error.number();
    description_ = error.description();
  }
  void Clear() {
    number_ = 0;
    description_.clear();
  }
  bool IsSet() const { return number_ != 0; }
  int number() const { return number_; }
  const std::string& description() const { return description_; }

 private:
  int number_ = 0;
  std::string description_;
};

// One step of the skip-and-remember regime: runs `step`; when it fails, the rest of the step is
// skipped and its error becomes the pending one.
template <typename Step>
void SkipAndRemember(PendingError& pending, Step&& step) {
  try {
    step();
  } catch (const RuntimeError& error) {
    pending.Set(error);
  } catch (const std::exception& other) {
    pending.Set(RuntimeError(kPathFileAccessError, other.what()));
  }
}

}  // namespace plotspool

#endif  // PLOTSPOOL_BASE_ERROR_H_
