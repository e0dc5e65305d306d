// Raw output to str. Owns the order of the steps around the interpreter
// lock: a str is created and resized only with the lock held, and its
// character bytes are written with it released only while nothing else can
// reach the str. Must never hand out a str whose kind is wider than its
// widest character: the interpreter compares strs by kind first.
#include "output_text.h"

#include <optional>

#include "text/cleaning.h"
#include "text/utf8.h"

namespace morvik::ext {

namespace {

// From this size on a str's character memory is asked to come in huge pages
// (see advise_huge_pages): filling 64 MiB then costs 32 page faults instead
// of 16384. Only for blocks the C library is sure to map on their own and
// unmap when they are freed; a smaller block may sit on its heap, where the
// advice would outlive the str and spread to whatever the heap puts there.
constexpr std::size_t STR_HUGE_PAGES_BYTES = std::size_t{32} << 20;  // 32 MiB

PyRef new_str(std::size_t characters, char32_t max_character) {
  PyRef str = PyRef::checked(PyUnicode_New(static_cast<Py_ssize_t>(characters), static_cast<Py_UCS4>(max_character)));
  const std::size_t bytes = characters * static_cast<std::size_t>(PyUnicode_KIND(str.get()));
  if (bytes >= STR_HUGE_PAGES_BYTES) advise_huge_pages(PyUnicode_DATA(str.get()), bytes);
  return str;
}

// The characters of `utf8`, well formed and of that shape, in a new str.
// Only for text small enough to widen with the lock held.
PyRef str_from_utf8(std::string_view utf8, const text::Utf8Shape& shape) {
  PyRef str = new_str(shape.characters, shape.max_character);
  text::widen_utf8(utf8, shape, PyUnicode_DATA(str.get()));
  return str;
}

// What the filter left in `bytes`, as well-formed UTF-8 of a known shape:
// the bytes themselves, or their decoding with replacement in `decoded`.
struct Widening {
  std::string decoded;
  std::string_view utf8;
  text::Utf8Shape shape{};
};

void prepare_widening(std::string_view bytes, bool well_formed, Widening& w) {
  w.utf8 = bytes;
  if (!well_formed) {
    text::append_utf8_with_replacement(bytes, w.decoded);
    w.utf8 = w.decoded;
  }
  w.shape = text::measure_utf8(w.utf8);
}

// A large output: its str is made as ASCII with room for every raw byte,
// and the filter writes straight into it. ASCII text is then done once the
// str is cut to its length; anything else is widened into a str of the
// right kind, the first one serving as the filter's scratch. With `release`
// the filter and the widening run with the lock released.
PyRef clean_large(std::string_view raw, ByteBuffer* owner, bool release) {
  PyRef scratch = new_str(raw.size(), 0x7F);
  char* bytes = static_cast<char*>(PyUnicode_DATA(scratch.get()));
  text::CleanedBytes cleaned{};
  Widening w;
  {
    std::optional<AllowThreads> released;
    if (release) released.emplace();
    cleaned = text::clean_into(raw, bytes);
    // The raw bytes are done with: give their memory back before the
    // widening takes more.
    if (owner != nullptr) owner->release();
    if (!cleaned.ascii) prepare_widening(std::string_view(bytes, cleaned.size), cleaned.well_formed, w);
  }
  if (cleaned.ascii) {
    PyObject* str = scratch.release();
    // Ours alone, so the resize cuts it in place.
    if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(cleaned.size)) < 0) {
      Py_XDECREF(str);
      throw PythonError{};
    }
    return PyRef::steal(str);
  }
  PyRef text = new_str(w.shape.characters, w.shape.max_character);
  void* units = PyUnicode_DATA(text.get());
  {
    std::optional<AllowThreads> released;
    if (release) released.emplace();
    text::widen_utf8(w.utf8, w.shape, units);
  }
  return text;
}

}  // namespace

namespace detail {

CleanedText clean_small(std::string_view raw) {
  CleanedText t;
  t.done = true;
  if (raw.empty()) {
    t.max_character = 0x7F;
    return t;
  }
  t.bytes.resize(raw.size());
  const text::CleanedBytes cleaned = text::clean_into(raw, t.bytes.data());
  t.bytes.resize(cleaned.size);
  if (cleaned.ascii) {
    t.characters = cleaned.size;
    t.max_character = 0x7F;
    return t;
  }
  if (!cleaned.well_formed) {
    std::string decoded;
    text::append_utf8_with_replacement(t.bytes, decoded);
    t.bytes = std::move(decoded);
  }
  const text::Utf8Shape shape = text::measure_utf8(t.bytes);
  t.characters = shape.characters;
  t.max_character = shape.max_character;
  return t;
}

PyRef str_from_cleaned(const CleanedText& text) {
  return str_from_utf8(text.bytes, {text.characters, text.max_character});
}

PyRef str_from_large(ByteBuffer raw) {
  const std::string_view bytes = raw.view();
  return clean_large(bytes, &raw, true);
}

}  // namespace detail

PyRef text_from_raw(std::string_view raw) {
  if (raw.size() < CLEAN_INTO_STR_BYTES) return detail::str_from_cleaned(detail::clean_small(raw));
  return clean_large(raw, nullptr, false);
}

}  // namespace morvik::ext
