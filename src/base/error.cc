#include "base/error.h"

namespace plotspool {

std::string_view ErrorDescription(int number) {
  switch (number) {
    case kInvalidProcedureCall:
      return "Invalid procedure call or argument";
    case kOverflow:
      return "Overflow";
    case kOutOfMemory:
      return "Out of memory";
    case kDivisionByZero:
      return "Division by zero";
    case kTypeMismatch:
      return "Type mismatch";
    case kBadFileName:
      return "Bad file name or number";
    case kFileNotFound:
      return "File not found";
    case kFileAlreadyOpen:
      return "File already open";
    case kDeviceIoError:
      return "Device I/O error";
    case kFileAlreadyExists:
      return "File already exists";
    case kDiskFull:
      return "Disk full";
    case kInputPastEndOfFile:
      return "Input past end of file";
    case kPermissionDenied:
      return "Permission denied";
    case kPathFileAccessError:
      return "Path/File access error";
    case kPathNotFound:
      return "Path not found";
    case kInvalidPropertyValue:
      return "Invalid property value";
    case kPrinterError:
      return "Printer error";
    default:
      return "Application-defined or object-defined error";
  }
}

RuntimeError::RuntimeError(int number)
    : RuntimeError(number, std::string(ErrorDescription(number))) {}

namespace {

std::string WhatText(int number, const std::string& description) {
  std::string text = std::to_string(number);
  text += ' ';
  text += description;
  return text;
}

}  // namespace

RuntimeError::RuntimeError(int number, std::string description)
    : std::runtime_error(WhatText(number, description)),
      number_(number),
      description_(std::move(description)) {}

}  // namespace plotspool
