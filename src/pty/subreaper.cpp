#include "subreaper.h"

#include <sys/prctl.h>

#include <cerrno>

namespace morvik::pty {

Result<void> become_child_subreaper() noexcept {
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL) != 0) return Errno::last();
  return {};
}

}  // namespace morvik::pty
