#include "internal_failure.h"

namespace morvik {

namespace {
// Only the first fault of a call is kept: later ones are usually its echoes.
thread_local std::optional<std::string> deferred;
}  // namespace

void defer_internal_failure(std::string message) noexcept {
  if (!deferred) deferred.emplace(std::move(message));
}

std::optional<std::string> take_deferred_internal_failure() noexcept {
  std::optional<std::string> out;
  out.swap(deferred);
  return out;
}

}  // namespace morvik
