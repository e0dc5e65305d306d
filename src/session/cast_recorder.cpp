// The asciicast writer. Must never block the reader thread on anything but
// its own file, and never write half an event line: a line is built whole
// and handed to the file in one go under the lock.
#include "cast_recorder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "base/eintr.h"
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
    : file_(std::move(file)), start_(std::chrono::steady_clock::now()) {
  std::string header = "{\"version\": 2, \"width\": " + std::to_string(columns) +
                       ", \"height\": " + std::to_string(rows) +
                       ", \"timestamp\": " + std::to_string(static_cast<long long>(std::time(nullptr)));
  if (!term.empty()) {
    header += ", \"env\": {\"TERM\": \"";
    append_json_text(header, term, nullptr);
    header += "\"}";
  }
  header += "}\n";
  std::lock_guard<std::mutex> lock(mutex_);
  write_line(header);
}

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
  if (!file_.valid()) return;
  write_line("[" + seconds(std::chrono::steady_clock::now() - start_) + ", \"r\", \"" + std::to_string(columns) +
             "x" + std::to_string(rows) + "\"]\n");
}

void CastRecorder::close() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    // A character the program never finished shows as what it is.
    if (!output_carry_.empty()) event('o', "", nullptr, output_carry_);
  } catch (...) {
  }
  file_.reset();
}

void CastRecorder::event(char code, std::string_view bytes, std::string* cut, std::string& carry) {
  if (!file_.valid()) return;
  std::string joined;
  if (!carry.empty()) {
    joined = carry + std::string(bytes);
    bytes = joined;
    carry.clear();
  }
  std::string line = "[" + seconds(std::chrono::steady_clock::now() - start_) + ", \"" + code + "\", \"";
  line.reserve(line.size() + bytes.size() + 8);
  append_json_text(line, bytes, cut);
  line += "\"]\n";
  write_line(line);
}

void CastRecorder::write_line(const std::string& line) {
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t w = retry_on_eintr([&] { return ::write(file_.get(), line.data() + done, line.size() - done); });
    if (w <= 0) {
      file_.reset();  // stops quietly; the terminal goes on
      return;
    }
    done += static_cast<std::size_t>(w);
  }
}

}  // namespace morvik::session
