// Input path to the child. Runs on the caller's thread with the interpreter
// lock held; a write blocks only while the terminal's input queue is full.
#include "buf_writer.h"

#include <cerrno>
#include <cstring>

namespace morvik::session {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r: returns a pointer that may or may not be `buf`.
  const char* msg = ::strerror_r(errnum, buf, sizeof buf);
  return std::string(msg) + " (os error " + std::to_string(errnum) + ")";
}

BufWriter::BufWriter(pty::UniqueFd fd) : fd_(std::move(fd)) { buf_.reserve(WRITER_BUFFER_BYTES); }

BufWriter::~BufWriter() {
  if (fd_.valid() && !buf_.empty()) (void)flush();
}

Expected<void> BufWriter::write_all(const char* p, std::size_t n, const char* zero_text) {
  while (n > 0) {
    const ssize_t w = ::write(fd_.get(), p, n);
    if (w < 0) {
      const int e = errno;
      if (e == EINTR) continue;
      return runtime_error(os_error_text(e));
    }
    if (w == 0) return runtime_error(zero_text);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return {};
}

Expected<void> BufWriter::flush() {
  // Progress is kept even on failure: what was written is dropped from the
  // buffer, the rest goes out ahead of the next write.
  std::size_t done = 0;
  Expected<void> result;
  while (done < buf_.size()) {
    const ssize_t w = ::write(fd_.get(), buf_.data() + done, buf_.size() - done);
    if (w < 0) {
      const int e = errno;
      if (e == EINTR) continue;
      result = runtime_error(os_error_text(e));
      break;
    }
    if (w == 0) {
      result = runtime_error("failed to write the buffered data");
      break;
    }
    done += static_cast<std::size_t>(w);
  }
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(done));
  return result;
}

Expected<void> BufWriter::write(std::string_view data) {
  if (data.size() <= WRITER_BUFFER_BYTES - buf_.size()) {
    buf_.insert(buf_.end(), data.begin(), data.end());
    return {};
  }
  if (!buf_.empty()) {
    if (auto r = flush(); !r) return r;
  }
  if (data.size() < WRITER_BUFFER_BYTES) {
    buf_.insert(buf_.end(), data.begin(), data.end());
    return {};
  }
  return write_all(data.data(), data.size(), "failed to write whole buffer");
}

}  // namespace morvik::session
