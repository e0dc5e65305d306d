// Buffered writer on a descriptor of the pseudo-terminal master: an 8192-byte
// buffer, data copied in when it fits, the buffer written out first when it
// does not, and writes larger than the buffer sent straight through. Partial
// writes are continued and EINTR retried. Bytes left buffered after a failure
// go out ahead of the next write.
//
// The descriptor is non-blocking. A child that never reads its input would
// otherwise hold the caller in write() forever, with the interpreter lock
// held; instead a write that makes no progress for WRITE_STALL_LIMIT fails
// with EAGAIN's text.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "../pty/unique_fd.h"
#include "expected.h"

namespace morvik::session {

inline constexpr std::size_t WRITER_BUFFER_BYTES = 8192;
inline constexpr std::chrono::milliseconds WRITE_STALL_LIMIT{5000};

class BufWriter {
 public:
  explicit BufWriter(pty::UniqueFd fd, std::chrono::milliseconds stall_limit = WRITE_STALL_LIMIT);
  BufWriter(BufWriter&&) noexcept = default;
  BufWriter& operator=(BufWriter&&) noexcept = default;
  // Writes out what is still buffered (failures ignored), then closes.
  ~BufWriter();

  // A failure's message is the error text alone: the OS message +
  // " (os error N)", or a fixed text for a write accepted with zero bytes.
  Expected<void> write(std::string_view data);
  Expected<void> flush();

  std::size_t buffered() const noexcept { return buf_.size(); }
  int fd() const noexcept { return fd_.get(); }

 private:
  Expected<void> write_all(const char* p, std::size_t n, const char* zero_text);
  // One write(2) of what it can take, waiting up to the stall limit for room.
  // Returns the count written, or -1 with errno set.
  ssize_t write_some(const char* p, std::size_t n);

  pty::UniqueFd fd_;
  std::vector<char> buf_;
  std::chrono::milliseconds stall_limit_;
};

// "<OS message> (os error N)"
std::string os_error_text(int errnum);

}  // namespace morvik::session
