// Raw output to str. Owns the order of the steps around the interpreter
// lock: a str is created and resized only with the lock held, and its
// character bytes are written with it released only while nothing else can
// reach the str. Must never hand out a str whose kind is wider than its
// widest character: the interpreter compares strs by kind first.
#include "output_text.h"

#include <cstring>
#include <optional>

#include "base/internal_failure.h"

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

// What the maker left in `bytes`, as well-formed UTF-8 of a known shape:
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

// The widening of text beyond ASCII into a str of the right kind.
// (Here and below, the new str is held by a raw pointer while the lock is
// released: a thread the interpreter ends meanwhile leaves it behind rather
// than dropping it without the lock; see allow_threads.h.)
PyRef widened(const Widening& w, bool release) {
  PyObject* wide = new_str(w.shape.characters, w.shape.max_character).release();
  {
    AllowThreadsIf released(release);
    text::widen_utf8(w.utf8, w.shape, PyUnicode_DATA(wide));
  }
  return PyRef::steal(wide);
}

// A large output the wait did not clean: its str is made as ASCII with room
// for every byte the maker may write, and the maker writes straight into
// it. ASCII text is then done once the str is cut to its length; anything
// else is widened into a str of the right kind, the first one serving as
// the maker's scratch. With `release` the writing and the widening run with
// the lock released. `owner`, when given, holds the memory of `raw`, given
// back as soon as it is read.
PyRef text_in_place(std::string_view raw, ByteBuffer* owner, const TextMaker& maker, bool release) {
  PyObject* scratch_str = new_str(maker.bound(raw), 0x7F).release();
  char* bytes = static_cast<char*>(PyUnicode_DATA(scratch_str));
  text::CleanedBytes written{};
  Widening w;
  {
    AllowThreadsIf released(release);
    written = maker.write(raw, bytes);
    // Done with: given back before the widening takes more.
    if (owner != nullptr) owner->release();
    if (!written.ascii) prepare_widening(std::string_view(bytes, written.size), written.well_formed, w);
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
  return widened(w, release);
}

// A large output whose first part the wait cleaned while the rest came: the
// rest is cleaned onto it, and the whole is copied into an ASCII str, or
// widened straight from it into a str of the right kind (its shape mostly
// measured by the wait too). The lock is released around each step that
// reads or writes the text.
PyRef text_after_wait(session::ReadOutput& out) {
  bool ascii = false;
  Widening w;
  {
    AllowThreads released;
    const std::string_view rest = out.raw.view().substr(out.cleaner.settled());
    const text::CleanedBytes written = text::clean_into(rest, out.cleaned.append_space(rest.size()));
    out.cleaned.commit(written.size);
    out.raw.release();
    ascii = out.cleaner.ascii() && written.ascii;
    if (!ascii) {
      w.utf8 = out.cleaned.view();
      const std::optional<text::Utf8Shape> shape = out.cleaner.shape(w.utf8);
      if (shape) {
        w.shape = *shape;
      } else {
        prepare_widening(out.cleaned.view(), false, w);
      }
    }
  }
  if (!ascii) return widened(w, true);
  PyObject* str = new_str(out.cleaned.size(), 0x7F).release();
  {
    AllowThreads released;
    std::memcpy(PyUnicode_DATA(str), out.cleaned.data(), out.cleaned.size());
    out.cleaned.release();
  }
  return PyRef::steal(str);
}

}  // namespace

namespace detail {

SmallText make_small(std::string_view raw, const TextMaker& maker) {
  SmallText t;
  t.done = true;
  t.bytes.resize(maker.bound(raw));
  const text::CleanedBytes written = maker.write(raw, t.bytes.data());
  t.bytes.resize(written.size);
  if (written.ascii) {
    t.shape = {written.size, 0x7F};
    return t;
  }
  if (!written.well_formed) {
    std::string decoded;
    text::append_utf8_with_replacement(t.bytes, decoded);
    t.bytes = std::move(decoded);
  }
  t.shape = text::measure_utf8(t.bytes);
  return t;
}

PyRef str_from_small(const SmallText& small) {
  PyRef str = new_str(small.shape.characters, small.shape.max_character);
  text::widen_utf8(small.bytes, small.shape, PyUnicode_DATA(str.get()));
  return str;
}

PyRef str_from_large(session::ReadOutput out, const TextMaker& maker) {
  if (out.cleaner.settled() == 0) {
    const std::string_view raw = out.raw.view();
    return text_in_place(raw, &out.raw, maker, true);
  }
  // Only the cleaning is ever made while a wait collects.
  if (maker.write != CLEANED.write) internal_failure("output cleaned while it came, for another maker");
  return text_after_wait(out);
}

PyRef str_from_made(session::ReadOutput out, const text::Utf8Shape& shape) {
  PyObject* str = new_str(shape.characters, shape.max_character).release();
  {
    // Only this routine holds the new str: its characters may be written
    // with the lock released, which pays for a large text.
    AllowThreadsIf released(out.text.size() >= TEXT_INTO_STR_BYTES);
    text::widen_utf8(out.text.view(), shape, PyUnicode_DATA(str));
  }
  return PyRef::steal(str);
}

}  // namespace detail

PyRef text_from_raw(std::string_view raw, const TextMaker& maker) {
  if (raw.size() < TEXT_INTO_STR_BYTES) return detail::str_from_small(detail::make_small(raw, maker));
  return text_in_place(raw, nullptr, maker, false);
}

}  // namespace morvik::ext
