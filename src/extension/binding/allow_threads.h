// Releasing the interpreter lock for one scope. Only plain C++ values may be
// touched inside it: other Python threads run meanwhile, and no Python
// object may be created, copied or destroyed until the scope ends. No owned
// reference (PyRef) may live across the scope either, for the reason below.
//
// The hazard at the scope's end: once the interpreter finalizes, a thread
// other than the finalizing one that asks for the lock back is ended there
// by the interpreter (Python 3.12 and 3.13 call pthread_exit). Such a thread
// must never run our code again, and the forced unwind that ends it must
// never meet a noexcept frame (which aborts the whole process) nor drop a
// Python object on its way (there is no lock to do it with). So a thread
// that comes back once finalization has begun is parked, asleep for good,
// and the process's end takes it. One that asked just before and is ended
// while it waits for the lock unwinds through frames that let it pass, to
// `guard`, which parks it (errors.h).
#pragma once

#include "py_ref.h"

namespace morvik::ext {

// Takes the interpreter lock back for `saved`, or parks the calling thread
// for good once the interpreter finalizes. May end in the interpreter's
// forced unwind of the thread, never in another exception.
void restore_thread(PyThreadState* saved) noexcept(false);

// Whether the interpreter has begun to finalize.
bool interpreter_finalizing() noexcept;

// Sleeps for good: a thread that may no longer run any code of ours.
[[noreturn]] void park_thread_for_good() noexcept;

// Records the calling thread as the one that finalizes the interpreter:
// each module's exit hook (register_exit_hook) calls it, since exit hooks
// run on that thread. Call with the lock held.
void note_finalizing_thread() noexcept;

// Registers `hook` (a builtin function object) with the atexit module.
// Throws PythonError.
void register_exit_hook(PyObject* hook);

class AllowThreads {
 public:
  AllowThreads() noexcept : saved_(PyEval_SaveThread()) {}
  // noexcept(false): the interpreter's forced unwind passes through here.
  ~AllowThreads() noexcept(false) { restore_thread(saved_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* saved_;
};

// AllowThreads when `release` is true, nothing otherwise. (std::optional
// would not do: its destructor is noexcept.)
class AllowThreadsIf {
 public:
  explicit AllowThreadsIf(bool release) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
  ~AllowThreadsIf() noexcept(false) {
    if (saved_ != nullptr) restore_thread(saved_);
  }
  AllowThreadsIf(const AllowThreadsIf&) = delete;
  AllowThreadsIf& operator=(const AllowThreadsIf&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace morvik::ext
