// Releasing the interpreter lock for one scope. Only plain C++ values may be
// touched inside it: other Python threads run meanwhile, and no Python
// object may be created, copied or destroyed until the scope ends.
#pragma once

#include "py_ref.h"

namespace morvik::ext {

class AllowThreads {
 public:
  AllowThreads() noexcept : saved_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(saved_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace morvik::ext
