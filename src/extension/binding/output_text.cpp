// Raw output to str. Owns the order of the steps around the interpreter
// lock: a str is created and resized only with the lock held, and its
// character bytes are written with it released only while nothing else can
// reach the str. Must never hand out a str whose kind is wider than its
// widest character: the interpreter compares strs by kind first.
#include "output_text.h"

#include <cstring>
#include <optional>

#include "text/cleaning.h"

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

// `bytes` as well-formed UTF-8 of a known shape: ASCII as it is, anything
// else measured, after a decoding with replacement when ill formed. The
// text views `bytes` unless it decoded them.
detail::Utf8Text settle_utf8(std::string_view bytes, bool ascii, bool well_formed) {
  detail::Utf8Text t;
  t.borrowed = bytes;
  if (ascii) {
    t.shape = {bytes.size(), 0x7F};
    return t;
  }
  if (!well_formed) {
    text::append_utf8_with_replacement(bytes, t.owned);
    t.is_owned = true;
  }
  t.shape = text::measure_utf8(t.utf8());
  return t;
}

// The cleaning of a short output, made in memory of its own.
detail::Utf8Text cleaned_text(std::string_view raw) {
  std::string bytes;
  bytes.resize(raw.size());
  const text::CleanedBytes written = text::clean_into(raw, bytes.data());
  bytes.resize(written.size);
  if (!written.ascii && !written.well_formed) return settle_utf8(bytes, false, false);
  detail::Utf8Text t = settle_utf8(bytes, written.ascii, true);
  t.owned = std::move(bytes);
  t.is_owned = true;
  return t;
}

}  // namespace

namespace detail {

Utf8Text utf8_of(session::ReadOutput& out) {
  if (out.made) {
    out.raw.release();
    return settle_utf8(out.text.view(), false, true);
  }
  if (out.cleaner.settled() == 0) {
    Utf8Text t = cleaned_text(out.raw.view());
    out.raw.release();
    return t;
  }
  // The wait cleaned the first part as it came: the rest is cleaned onto
  // it, and the shape is mostly the wait's measurement too.
  const std::string_view rest = out.raw.view().substr(out.cleaner.settled());
  const text::CleanedBytes written = text::clean_into(rest, out.cleaned.append_space(rest.size()));
  out.cleaned.commit(written.size);
  out.raw.release();  // done with: given back before the widening takes more
  if (out.cleaner.ascii() && written.ascii) return settle_utf8(out.cleaned.view(), true, true);
  if (const std::optional<text::Utf8Shape> shape = out.cleaner.shape(out.cleaned.view())) {
    Utf8Text t;
    t.borrowed = out.cleaned.view();
    t.shape = *shape;
    return t;
  }
  return settle_utf8(out.cleaned.view(), false, false);
}

// (Here and below, the new str is held by a raw pointer while the lock is
// released: a thread the interpreter ends meanwhile leaves it behind rather
// than dropping it without the lock; see allow_threads.h.)
PyRef str_from_utf8(const Utf8Text& text, bool release, ByteBuffer* spent) {
  PyObject* str = new_str(text.shape.characters, text.shape.max_character).release();
  {
    AllowThreadsIf released(release);
    const std::string_view utf8 = text.utf8();
    if (text.shape.max_character == 0x7F) {
      // An empty view may carry no pointer at all, which memcpy may not take.
      if (!utf8.empty()) std::memcpy(PyUnicode_DATA(str), utf8.data(), utf8.size());
    } else {
      text::widen_utf8(utf8, text.shape, PyUnicode_DATA(str));
    }
    if (spent != nullptr) spent->release();
  }
  return PyRef::steal(str);
}

// The str is made as ASCII with room for every byte the cleaning may write,
// and the cleaning writes straight into it. ASCII text is then done once the
// str is cut to its length; anything else is widened into a str of the
// right kind, the first one serving as scratch. `owner`, when given, holds
// the memory of `raw`, given back as soon as it is read.
PyRef str_cleaned_into(std::string_view raw, ByteBuffer* owner, bool release) {
  PyObject* scratch_str = new_str(raw.size(), 0x7F).release();
  char* bytes = static_cast<char*>(PyUnicode_DATA(scratch_str));
  text::CleanedBytes written{};
  Utf8Text wide;
  {
    AllowThreadsIf released(release);
    written = text::clean_into(raw, bytes);
    if (owner != nullptr) owner->release();
    if (!written.ascii) wide = settle_utf8(std::string_view(bytes, written.size), false, written.well_formed);
  }
  PyRef scratch = PyRef::steal(scratch_str);
  if (written.ascii) {
    PyObject* str = scratch.release();
    // Ours alone, so the resize cuts it in place.
    if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(written.size)) < 0) {
      Py_XDECREF(str);
      throw PythonError{};
    }
    return PyRef::steal(str);
  }
  return str_from_utf8(wide, release);
}

}  // namespace detail

PyRef text_from_raw(std::string_view raw) {
  if (raw.size() >= TEXT_INTO_STR_BYTES) return detail::str_cleaned_into(raw, nullptr, false);
  return detail::str_from_utf8(cleaned_text(raw), false);
}

}  // namespace morvik::ext
