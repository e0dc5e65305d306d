// The session's failures that the caller sees as ordinary exceptions, carried
// as values in the PTY layer's result type. Faults that are the module's own
// go through InternalFailure instead.
#pragma once

#include <string>
#include <utility>

#include "base/result.h"

namespace morvik::session {

// The exception class a failure reaches Python as.
enum class ErrorKind {
  Exception,     // start-up failures: the built-in Exception itself
  RuntimeError,  // input and status failures
  OSError,       // the agent face's start-up failures, with their error number
  ValueError,    // the agent face's refusal of an argument the core alone can judge
};

struct Error {
  ErrorKind kind = ErrorKind::RuntimeError;
  std::string message;
  int errnum = 0;  // for OSError
};

template <class T>
using Expected = Result<T, Error>;

inline Error runtime_error(std::string message) { return {ErrorKind::RuntimeError, std::move(message)}; }
inline Error value_error(std::string message) { return {ErrorKind::ValueError, std::move(message)}; }
inline Error startup_error(std::string message) { return {ErrorKind::Exception, std::move(message)}; }
inline Error os_error(int errnum, std::string message) {
  return {ErrorKind::OSError, std::move(message), errnum};
}

}  // namespace morvik::session
