// libFuzzer target for the history ring. Owns one invariant: after every
// append the ring holds exactly the newest min(limit, total) bytes of
// everything appended, in order. The bytes appended are a function of their
// position in the whole stream, so the expectation is computed from counts
// alone and no second copy of the stream is kept. Must never link Python or
// the session.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "session/history.h"

namespace {

// The byte at position `k` of the appended stream; distinct enough that a
// shifted, dropped or repeated span shows.
char stream_byte(std::uint64_t k) { return static_cast<char>((k * 2654435761u) >> 13); }

[[noreturn]] void fail(const char* what, std::size_t limit, std::uint64_t total, std::size_t op) {
  std::fprintf(stderr, "history invariant broken: %s (limit %zu, %llu bytes appended, op %zu)\n",
               what, limit, static_cast<unsigned long long>(total), op);
  std::abort();
}

}  // namespace

// Input: three bytes for the limit, then three bytes per append giving its
// length. Limits reach past the ring's initial reservation so that growth,
// wrapping and the one-append-larger-than-the-limit path all get exercised.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  constexpr std::size_t MAX_LIMIT = 1 << 18;
  const std::size_t limit = (data[0] | (data[1] << 8) | (data[2] << 16)) % (MAX_LIMIT + 1);
  morvik::session::History history(limit);
  std::uint64_t total = 0;
  std::string piece;
  for (std::size_t at = 3, op = 0; at + 3 <= size && op < 64; at += 3, ++op) {
    const std::size_t length =
        (data[at] | (data[at + 1] << 8) | (data[at + 2] << 16)) % (2 * limit + 2);
    piece.resize(length);
    for (std::size_t i = 0; i < length; ++i) piece[i] = stream_byte(total + i);
    history.append(piece);
    total += length;

    const std::size_t expected = total < limit ? static_cast<std::size_t>(total) : limit;
    if (history.size() != expected) fail("size is not min(limit, total)", limit, total, op);
    const std::string kept = history.contents();
    if (kept.size() != expected) fail("contents length differs from size", limit, total, op);
    const std::uint64_t first = total - expected;
    for (std::size_t i = 0; i < expected; ++i) {
      if (kept[i] != stream_byte(first + i)) fail("kept bytes are not the newest, in order", limit, total, op);
    }
  }
  return 0;
}
