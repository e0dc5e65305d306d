// Making this process the child subreaper of everything it starts: a
// descendant whose parent ends (a daemon's double fork, `setsid` run from a
// job) is then re-parented here, not to init, so it can still be found and
// ended. The flag is the whole process's, for its lifetime, and it makes the
// process the parent of orphans it did not start: whoever sets it must reap
// exactly those, never with a wait for any child.
#pragma once

#include "base/result.h"

namespace morvik::pty {

Result<void> become_child_subreaper() noexcept;

}  // namespace morvik::pty
