#include "internal_failure.h"

namespace morvik {

namespace {
// Only the first fault of a call is kept: later ones are usually its echoes.
// A plain pointer, so the slot needs no destructor at thread exit: every
// thread that calls into the module (the interpreter's included) would
// otherwise register one, for a slot that is almost always empty.
thread_local std::string* deferred = nullptr;
}  // namespace

void defer_internal_failure(std::string message) noexcept {
  if (deferred != nullptr) return;
  try {
    deferred = new std::string(std::move(message));
  } catch (...) {
    // Out of memory while parking a fault: the fault itself is lost, the
    // release that met it still completes.
  }
}

std::optional<std::string> take_deferred_internal_failure() noexcept {
  if (deferred == nullptr) return std::nullopt;
  std::optional<std::string> out(std::move(*deferred));
  delete deferred;
  deferred = nullptr;
  return out;
}

}  // namespace morvik
