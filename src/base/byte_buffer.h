// A growable run of bytes for output of any size, up to hundreds of
// megabytes in one read. It must never fill what it hands out with zeros,
// and never copy what it holds once it is large: a large buffer is a private
// mapping of its own, grown by moving its pages (mremap), never by copying
// them, and it asks for huge pages so that filling it costs one page fault
// per 2 MiB instead of one per 4 KiB. Small buffers live on the heap, where a
// round trip's few hundred bytes cost least. Not thread-safe; move-only.
#pragma once

#include <cstddef>
#include <string_view>

namespace morvik {

// From this capacity on a buffer is a mapping of its own.
inline constexpr std::size_t MAPPED_BUFFER_BYTES = std::size_t{1} << 20;  // 1 MiB
// The huge page size the mappings are laid out for.
inline constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;  // 2 MiB

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data_, size_}; }

  // Room for at least `capacity` bytes in all; never shrinks. Throws
  // std::bad_alloc when the memory cannot be had, and then holds what it
  // held before.
  void reserve(std::size_t capacity);
  // Adds `bytes` at the end (they must not lie inside this buffer), growing
  // geometrically.
  void append(std::string_view bytes);
  // Room for `n` more bytes at the end, for a writer that fills them in
  // place and then commits how many it wrote (at most `n`). The room holds
  // whatever was there: nothing is filled in.
  char* append_space(std::size_t n);
  void commit(std::size_t n) noexcept { size_ += n; }
  // Keeps the first `size` bytes (size <= size()).
  void truncate(std::size_t size) noexcept { size_ = size; }
  // Lets go of the memory at once.
  void release() noexcept;

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
};

// Asks the kernel to back the whole 2 MiB-aligned pages inside [p, p + n)
// with huge pages when they are first touched. A hint only: it changes no
// content and may be ignored. For memory that the caller alone uses, is about
// to fill, and that nothing reuses piecemeal once it is freed.
void advise_huge_pages(void* p, std::size_t n) noexcept;

}  // namespace morvik
