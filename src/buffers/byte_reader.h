// Bounds-checked little-endian reading of repository bytes.
//
// Every parser in the program reads file content through ByteReader (a cursor)
// or ByteView (fixed-position loads). A read that would leave the span fails
// and yields zero; a cursor keeps its first failure, so a run of field reads
// can be written straight and checked once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "buffers/block_pool.h"

namespace tallymere {

using Bytes = std::span<const uint8_t>;

// An allocator whose resize() leaves new elements uninitialised: unpacked
// content is written by the decoder before anything reads it, so filling it
// with zeros first would only cost time. Large blocks come from the pool.
template <class T>
class DefaultInitAllocator : public PooledAllocator<T> {
 public:
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// Unpacked content.
using ByteBuffer = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

// True when [offset, offset + size) lies inside a span of `length` bytes,
// computed without overflow.
constexpr bool RangeFits(uint64_t offset, uint64_t size, uint64_t length) {
  return offset <= length && size <= length - offset;
}

inline uint16_t LoadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadLE64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadLE32(p)) | (static_cast<uint64_t>(LoadLE32(p + 4)) << 32);
}

// A hint that the bytes at p will be read soon; reads nothing itself, so it
// may point anywhere. Record walks use it to fetch a few records ahead.
inline void PrefetchForRead(const uint8_t* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

// Fixed-position loads over a span: out-of-range loads return 0.
class ByteView {
 public:
  ByteView() = default;
  explicit ByteView(Bytes bytes) : bytes_(bytes) {}

  uint64_t size() const { return bytes_.size(); }
  const uint8_t* data() const { return bytes_.data(); }
  Bytes span() const { return bytes_; }
  bool Fits(uint64_t offset, uint64_t size) const { return RangeFits(offset, size, bytes_.size()); }

  uint8_t U8At(uint64_t offset) const { return Fits(offset, 1) ? bytes_[offset] : 0; }
  uint16_t U16At(uint64_t offset) const { return Fits(offset, 2) ? LoadLE16(bytes_.data() + offset) : 0; }
  uint32_t U32At(uint64_t offset) const { return Fits(offset, 4) ? LoadLE32(bytes_.data() + offset) : 0; }
  uint64_t U64At(uint64_t offset) const { return Fits(offset, 8) ? LoadLE64(bytes_.data() + offset) : 0; }
  // The sub-span [offset, offset + size), or an empty span when it does not fit.
  Bytes SubAt(uint64_t offset, uint64_t size) const {
    return Fits(offset, size) ? bytes_.subspan(offset, size) : Bytes{};
  }
  // `units` UTF-16LE code units at offset; empty when they do not fit.
  std::u16string Utf16At(uint64_t offset, uint64_t units) const;

 private:
  Bytes bytes_;
};

// A cursor over a span. After the first failed read every later read fails
// too and returns zero; ok() tells whether all reads so far stayed inside.
class ByteReader {
 public:
  explicit ByteReader(Bytes bytes, uint64_t offset = 0) : view_(bytes), offset_(offset) {
    if (offset > bytes.size()) Fail();
  }

  uint8_t U8() { return Take(1) ? view_.U8At(offset_ - 1) : 0; }
  uint16_t U16() { return Take(2) ? view_.U16At(offset_ - 2) : 0; }
  uint32_t U32() { return Take(4) ? view_.U32At(offset_ - 4) : 0; }
  uint64_t U64() { return Take(8) ? view_.U64At(offset_ - 8) : 0; }
  Bytes Raw(uint64_t size) { return Take(size) ? view_.SubAt(offset_ - size, size) : Bytes{}; }
  std::u16string Utf16(uint64_t units);
  void Skip(uint64_t size) { Take(size); }
  void Seek(uint64_t offset) {
    if (ok_ && offset <= view_.size()) offset_ = offset;
    else Fail();
  }

  bool ok() const { return ok_; }
  uint64_t offset() const { return offset_; }
  uint64_t remaining() const { return ok_ ? view_.size() - offset_ : 0; }
  bool AtEnd() const { return ok_ && offset_ == view_.size(); }
  // Offset of the read that failed first (meaningful when !ok()).
  uint64_t error_offset() const { return error_offset_; }

 private:
  bool Take(uint64_t size) {
    if (!ok_ || !view_.Fits(offset_, size)) {
      Fail();
      return false;
    }
    offset_ += size;
    return true;
  }
  void Fail() {
    if (ok_) error_offset_ = offset_;
    ok_ = false;
  }

  ByteView view_;
  uint64_t offset_ = 0;
  uint64_t error_offset_ = 0;
  bool ok_ = true;
};

}  // namespace tallymere
