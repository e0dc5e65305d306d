// UTF-8 decoding with replacement, through the same scanner as the cleaning
// filter's decoder, so the two replace exactly the same subsequences.
#include "utf8.h"

#include "cleaning.h"
#include "grammar.h"

namespace morvik::text {

void append_utf8_with_replacement(std::string_view bytes, std::string& out) {
  const auto* p = reinterpret_cast<const u8*>(bytes.data());
  const Utf8Scan first = scan_utf8<Scan::Vector>(p, 0, bytes.size());
  if (first.bad_len == 0) {
    out.append(bytes);
    return;
  }
  out.reserve(out.size() + decoded_size<Scan::Vector>(p, bytes.size(), first));
  append_decoded<Scan::Vector>(p, bytes.size(), first, out);
}

bool is_well_formed_utf8(std::string_view bytes) noexcept {
  if (detail::avx2_supported()) return detail::is_well_formed_utf8_avx2(bytes);
  return scan_utf8<Scan::Vector>(reinterpret_cast<const u8*>(bytes.data()), 0, bytes.size()).bad_len == 0;
}

}  // namespace morvik::text
