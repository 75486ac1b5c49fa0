// A first-in first-out store of plain records in fixed blocks of about 4 KiB, for histories that
// grow to tens of thousands of entries on the main thread: it holds what it has been given plus
// at most one partly used block, and each block costs the allocator one small header (a
// std::deque's 512-byte nodes cost it several per cent). Indexed from the oldest entry.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>

namespace adt {

template <typename T>
class ChunkQueue {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "entries are copied as bytes and never destroyed one by one");

 public:
  static constexpr size_t kBlockBytes = 4096;
  static constexpr size_t kPerBlock = sizeof(T) >= kBlockBytes ? 1 : kBlockBytes / sizeof(T);

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;
    Iterator(const ChunkQueue& q, size_t i) : q_(&q), i_(i) {}
    const T& operator*() const { return (*q_)[i_]; }
    const T* operator->() const { return &(*q_)[i_]; }
    Iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator==(const Iterator& o) const { return i_ == o.i_; }
    bool operator!=(const Iterator& o) const { return i_ != o.i_; }

   private:
    const ChunkQueue* q_;
    size_t i_;
  };

  ChunkQueue() = default;
  ChunkQueue(const ChunkQueue&) = delete;
  ChunkQueue& operator=(const ChunkQueue&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The bytes of the blocks held, the unused part of the first and last block included.
  size_t heldBytes() const { return blocks_.size() * kPerBlock * sizeof(T); }

  T& operator[](size_t i) {
    const size_t at = head_ + i;
    return blocks_[at / kPerBlock].get()[at % kPerBlock];
  }
  const T& operator[](size_t i) const { return const_cast<ChunkQueue&>(*this)[i]; }
  T& front() { return (*this)[0]; }
  const T& front() const { return (*this)[0]; }
  T& back() { return (*this)[size_ - 1]; }
  const T& back() const { return (*this)[size_ - 1]; }
  Iterator begin() const { return Iterator(*this, 0); }
  Iterator end() const { return Iterator(*this, size_); }

  void push_back(const T& value) { append(&value, 1); }

  // Appends n entries, block by block.
  void append(const T* values, size_t n) {
    while (n) {
      const size_t at = head_ + size_;
      if (at / kPerBlock == blocks_.size()) blocks_.push_back(newBlock());
      const size_t room = kPerBlock - at % kPerBlock;
      const size_t k = std::min(n, room);
      std::memcpy(static_cast<void*>(blocks_[at / kPerBlock].get() + at % kPerBlock), values,
                  k * sizeof(T));
      values += k;
      n -= k;
      size_ += k;
    }
  }

  // Drops the n oldest entries (all of them when there are fewer); a block is freed once its
  // last entry has gone.
  void pop_front(size_t n = 1) {
    n = std::min(n, size_);
    size_ -= n;
    head_ += n;
    while (head_ >= kPerBlock || (size_ == 0 && !blocks_.empty())) {
      blocks_.pop_front();
      head_ = head_ >= kPerBlock ? head_ - kPerBlock : 0;
    }
  }

  // Copies n entries from index i on to `out`.
  void copyOut(size_t i, size_t n, T* out) const {
    forEachRun(i, n, [&](const T* run, size_t k) {
      std::memcpy(static_cast<void*>(out), run, k * sizeof(T));
      out += k;
      return true;
    });
  }
  // True when the n entries from index i on are byte for byte `values`.
  bool equals(size_t i, const T* values, size_t n) const {
    return forEachRun(i, n, [&](const T* run, size_t k) {
      const bool same = std::memcmp(run, values, k * sizeof(T)) == 0;
      values += k;
      return same;
    });
  }

 private:
  // Calls f(run, length) for the stored runs of entries [i, i + n), while it returns true.
  template <typename F>
  bool forEachRun(size_t i, size_t n, F f) const {
    while (n) {
      const size_t at = head_ + i;
      const size_t k = std::min(n, kPerBlock - at % kPerBlock);
      if (!f(blocks_[at / kPerBlock].get() + at % kPerBlock, k)) return false;
      i += k;
      n -= k;
    }
    return true;
  }

  // A block is raw storage: the entries come into being as they are copied in (plain records),
  // and the block's pages are not touched before its entries are written.
  struct FreeBlock {
    void operator()(T* p) const { ::operator delete(static_cast<void*>(p)); }
  };
  using Block = std::unique_ptr<T, FreeBlock>;
  static Block newBlock() { return Block(static_cast<T*>(::operator new(kPerBlock * sizeof(T)))); }

  std::deque<Block> blocks_;
  size_t head_ = 0;  // index of the oldest entry in blocks_.front()
  size_t size_ = 0;
};

}  // namespace adt
