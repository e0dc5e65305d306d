// The asciicast writer. Must never block a thread that records (the reader
// among them) on the file, never hold the lock across a write, and never
// queue half an event line: a line is built whole and queued in one go.
#include "cast_recorder.h"

#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <system_error>
#include <utility>

#include "base/eintr.h"
#include "base/quiet_thread_mask.h"
#include "text/utf8.h"

namespace morvik::session {

namespace {

// How many bytes at the end of `bytes` begin a character they do not
// finish: at most three, after a lead byte that asks for more and only
// continuation bytes since.
std::size_t cut_character_length(std::string_view bytes) {
  const std::size_t n = bytes.size();
  for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
    const auto b = static_cast<unsigned char>(bytes[n - k]);
    if (b < 0x80) return 0;
    if (b < 0xC0) continue;
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    return length > k && b < 0xF5 ? k : 0;
  }
  return 0;
}

std::string seconds(std::chrono::steady_clock::duration d) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(us / 1000000),
                static_cast<long long>(us % 1000000));
  return buf;
}

}  // namespace

void append_json_text(std::string& out, std::string_view bytes, std::string* cut) {
  if (cut != nullptr) {
    const std::size_t held = cut_character_length(bytes);
    cut->assign(bytes.substr(bytes.size() - held));
    bytes.remove_suffix(held);
  }
  std::string decoded;
  if (!text::is_well_formed_utf8(bytes)) {
    text::append_utf8_with_replacement(bytes, decoded);
    bytes = decoded;
  }
  static constexpr char HEX[] = "0123456789abcdef";
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out.push_back(HEX[c >> 4]);
      out.push_back(HEX[c & 0xF]);
    } else {
      out.push_back(ch);
    }
  }
}

CastRecorder::CastRecorder(UniqueFd file, int rows, int columns, std::string_view term)
    : start_(std::chrono::steady_clock::now()), file_(std::move(file)) {
  std::string header = "{\"version\": 2, \"width\": " + std::to_string(columns) +
                       ", \"height\": " + std::to_string(rows) +
                       ", \"timestamp\": " + std::to_string(static_cast<long long>(std::time(nullptr)));
  if (!term.empty()) {
    header += ", \"env\": {\"TERM\": \"";
    append_json_text(header, term, nullptr);
    header += "\"}";
  }
  header += "}\n";
  header_bytes_ = header.size();
  queued_ = std::move(header);
  struct stat st {};
  piece_by_piece_ = !(file_.valid() && ::fstat(file_.get(), &st) == 0 && S_ISREG(st.st_mode));
  backlog_limit_ = piece_by_piece_ ? RECORDING_BACKLOG_BYTES : RECORDING_FILE_BACKLOG_BYTES;
  wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  try {
    // A FIFO whose reader went between the poll and the write: EPIPE.
    const QuietThreadMask quiet;
    if (file_.valid() && wake_.valid()) writer_ = std::thread([this] { write_queued(); });
  } catch (const std::system_error&) {
  }
  if (!writer_.joinable()) {
    // Nothing would ever take the queue: the terminal goes on unrecorded.
    std::lock_guard<std::mutex> lock(mutex_);
    stop_locked("", "the recording could not start its writer");
  }
}

CastRecorder::~CastRecorder() {
  // In a forked copy the recorder is forgotten, never destroyed (forget.h).
  close();
}

std::string CastRecorder::stamp() const { return seconds(std::chrono::steady_clock::now() - start_); }

void CastRecorder::output(std::string_view bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  event('o', bytes, &output_carry_, output_carry_);
}

void CastRecorder::input(std::string_view bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  event('i', bytes, &input_carry_, input_carry_);
}

void CastRecorder::resize(int rows, int columns) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_) return;
  queue_line("[" + stamp() + ", \"r\", \"" + std::to_string(columns) + "x" + std::to_string(rows) + "\"]\n");
}

void CastRecorder::close() noexcept {
  if (abandoned_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      // A character the program never finished shows as what it is.
      if (!output_carry_.empty() && !stopped_) event('o', "", nullptr, output_carry_);
    } catch (...) {
    }
    closing_ = true;
    give_up_at_ = std::chrono::steady_clock::now() + RECORDING_CLOSE_GRACE;
    stopped_ = true;
  }
  queued_cv_.notify_one();
  if (wake_.valid()) {
    const std::uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
  }
  if (writer_.joinable()) writer_.join();
  file_.reset();
  // The wake-up too: a closed terminal is kept for its history, and holds
  // no descriptor then.
  wake_.reset();
}

std::optional<std::string> CastRecorder::take_warning() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(warning_, std::nullopt);
}

void CastRecorder::event(char code, std::string_view bytes, std::string* cut, std::string& carry) {
  if (stopped_) return;
  std::string joined;
  if (!carry.empty()) {
    joined = carry + std::string(bytes);
    bytes = joined;
    carry.clear();
  }
  std::string line = "[" + stamp() + ", \"" + code + "\", \"";
  line.reserve(line.size() + bytes.size() + 8);
  append_json_text(line, bytes, cut);
  line += "\"]\n";
  queue_line(std::move(line));
}

void CastRecorder::queue_line(std::string line) {
  if (queued_.size() + line.size() > backlog_limit_) {
    const std::size_t behind = queued_.size() + line.size();
    // A header the writer has not taken yet stays: a starved writer must
    // not leave a file without one, which no player reads.
    queued_.resize(header_bytes_);
    stop_locked("[" + stamp() + ", \"m\", \"recording cut off: the file took the output too slowly\"]\n",
                "the recording was cut off: its file fell " + std::to_string(behind) + " bytes behind");
    return;
  }
  const bool was_empty = queued_.empty();
  queued_ += line;
  if (was_empty) queued_cv_.notify_one();
}

void CastRecorder::stop_locked(std::string marker, std::string warning) {
  stopped_ = true;
  queued_ += marker;
  warning_ = std::move(warning);
  queued_cv_.notify_one();
}

void CastRecorder::write_queued() noexcept {
  // Named, as the reader is, so that a host's thread list tells what it is.
  pthread_setname_np(pthread_self(), "morvik_cast");
  for (;;) {
    std::string batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_cv_.wait(lock, [&] { return !queued_.empty() || closing_; });
      if (queued_.empty()) return;
      batch.swap(queued_);
      header_bytes_ = 0;
    }
    if (!write_batch(batch)) {
      std::lock_guard<std::mutex> lock(mutex_);
      queued_.clear();
      // Unless it stopped already (cut off, or closed): then that is the news.
      if (!stopped_) {
        stopped_ = true;
        warning_ = "the recording stopped: its file took no more";
      }
      if (closing_) return;
    }
  }
}

bool CastRecorder::write_batch(std::string_view batch) noexcept {
  std::size_t done = 0;
  while (done < batch.size()) {
    // Wait for room, or for close to give up on a file that takes nothing.
    int timeout_ms = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closing_) {
        const auto left = give_up_at_ - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return false;
        timeout_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
      }
    }
    pollfd fds[2] = {{file_.get(), POLLOUT, 0}, {wake_.get(), POLLIN, 0}};
    const int ready = retry_on_eintr([&] { return ::poll(fds, 2, timeout_ms); });
    if (ready < 0) return false;
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      (void)!::read(wake_.get(), &count, sizeof count);
    }
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    if (!(fds[0].revents & POLLOUT)) continue;
    // A pipe with room takes PIPE_BUF bytes without blocking; more might
    // wait for a reader that never comes.
    const std::size_t piece = piece_by_piece_ ? std::min<std::size_t>(batch.size() - done, PIPE_BUF)
                                              : batch.size() - done;
    const ssize_t w = retry_on_eintr([&] { return ::write(file_.get(), batch.data() + done, piece); });
    if (w < 0 && errno == EAGAIN) continue;
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace morvik::session
