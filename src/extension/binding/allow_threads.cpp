// Taking the interpreter lock back, and what becomes of a thread that comes
// back for it once the interpreter finalizes. Must never let such a thread
// run our code again, and never park the thread that finalizes.
#include "allow_threads.h"

#include <time.h>

#include <atomic>

namespace morvik::ext {

namespace {

// 0 until an exit hook ran. Until then no thread is parked here: one the
// interpreter ends unwinds to `guard`, which parks it.
std::atomic<unsigned long> g_finalizing_thread{0};

}  // namespace

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;  // public from 3.13 on
#endif
}

[[noreturn]] void park_thread_for_good() noexcept {
  for (;;) {
    // A signal handler may wake it; it sleeps again.
    const timespec day{86400, 0};
    ::nanosleep(&day, nullptr);
  }
}

void restore_thread(PyThreadState* saved) noexcept(false) {
  // The finalizing thread keeps the lock's thread state for itself (the
  // interpreter never ends that one); every other one would be ended.
  const unsigned long finalizing = g_finalizing_thread.load(std::memory_order_acquire);
  if (finalizing != 0 && PyThread_get_thread_ident() != finalizing && interpreter_finalizing()) {
    park_thread_for_good();
  }
  PyEval_RestoreThread(saved);
}

void note_finalizing_thread() noexcept {
  g_finalizing_thread.store(PyThread_get_thread_ident(), std::memory_order_release);
}

void register_exit_hook(PyObject* hook) {
  PyRef atexit = PyRef::checked(PyImport_ImportModule("atexit"));
  PyRef done = PyRef::checked(PyObject_CallMethod(atexit.get(), "register", "O", hook));
}

}  // namespace morvik::ext
