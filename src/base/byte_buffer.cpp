// The byte buffer. Owns its heap block or its mapping and frees it once. A
// growth that fails leaves the buffer as it was.
#include "byte_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace morvik {

namespace {

std::size_t round_up(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

char* map_bytes(std::size_t capacity) {
  void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  advise_huge_pages(p, capacity);
  return static_cast<char*>(p);
}

}  // namespace

void advise_huge_pages(void* p, std::size_t n) noexcept {
#ifdef MADV_HUGEPAGE
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (begin + HUGE_PAGE_BYTES - 1) & ~std::uintptr_t{HUGE_PAGE_BYTES - 1};
  const std::uintptr_t last = (begin + n) & ~std::uintptr_t{HUGE_PAGE_BYTES - 1};
  if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::release() noexcept {
  if (mapped_) {
    (void)::munmap(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  mapped_ = false;
}

void ByteBuffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  if (capacity < MAPPED_BUFFER_BYTES) {
    void* p = std::realloc(data_, capacity);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
    return;
  }
  const std::size_t mapped = round_up(capacity, HUGE_PAGE_BYTES);
  if (mapped_) {
    // The pages move with their contents, huge ones whole where the new
    // place allows it; nothing is copied, and the mapping keeps its advice.
    void* p = ::mremap(data_, capacity_, mapped, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
  } else {
    // The one copy a buffer ever makes: the small heap block it grew out of.
    char* p = map_bytes(mapped);
    if (size_ != 0) std::memcpy(p, data_, size_);
    std::free(data_);
    data_ = p;
    mapped_ = true;
  }
  capacity_ = mapped;
}

char* ByteBuffer::append_space(std::size_t n) {
  const std::size_t needed = size_ + n;
  if (needed > capacity_) reserve(std::max(needed, 2 * capacity_));
  return data_ + size_;
}

void ByteBuffer::append(std::string_view bytes) {
  if (bytes.empty()) return;
  std::memcpy(append_space(bytes.size()), bytes.data(), bytes.size());
  size_ += bytes.size();
}

}  // namespace morvik
