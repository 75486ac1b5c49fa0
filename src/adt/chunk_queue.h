// A first-in first-out store of plain records in fixed blocks of about 4 KiB, for histories that
// grow to tens of thousands of entries on the main thread: it holds what it has been given plus
// at most one partly used block at each end, and each block costs the allocator one small header
// (a std::deque's 512-byte nodes cost it several per cent). A queue that holds a single block
// starts it small (about 256 bytes) and doubles it as it fills, so that the many histories that
// hold a few entries take little more than those. An empty queue holds no memory at all.
// Indexed from the oldest entry.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace adt {

template <typename T>
class ChunkQueue {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "entries are copied as bytes and never destroyed one by one");

 public:
  static constexpr size_t kBlockBytes = 4096;
  static constexpr size_t kPerBlock = sizeof(T) >= kBlockBytes ? 1 : kBlockBytes / sizeof(T);
  // The room of a queue's first block when it is made.
  static constexpr size_t kFirstBytes = 256;
  static constexpr size_t kFirstRoom =
      std::min(kPerBlock, sizeof(T) >= kFirstBytes ? 1 : kFirstBytes / sizeof(T));

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
  size_t heldBytes() const {
    const size_t n = blockCount();
    return n == 0 ? 0 : ((n - 1) * kPerBlock + firstRoom_) * sizeof(T);
  }

  T& operator[](size_t i) {
    const size_t at = head_ + i;
    return block(at / kPerBlock)[at % kPerBlock];
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
      if (blockCount() == 0) {
        blocks_.push_back(newBlock(kFirstRoom));
        firstRoom_ = kFirstRoom;
      } else if (at == firstRoom_ && firstRoom_ < kPerBlock) {
        growFirst(at + n);
      } else if (at / kPerBlock == blockCount()) {
        blocks_.push_back(newBlock(kPerBlock));
      }
      // Only a sole first block is ever smaller than kPerBlock.
      const size_t room = (blockCount() == 1 ? firstRoom_ : kPerBlock) - at % kPerBlock;
      const size_t k = std::min(n, room);
      std::memcpy(static_cast<void*>(block(at / kPerBlock) + at % kPerBlock), values,
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
    while (head_ >= kPerBlock || (size_ == 0 && blockCount() != 0)) {
      blocks_[gone_++].reset();
      head_ = head_ >= kPerBlock ? head_ - kPerBlock : 0;
    }
    if (blockCount() == 0) {
      blocks_.clear();
      gone_ = 0;
    } else if (gone_ >= 16 && gone_ * 2 >= blocks_.size()) {
      // The freed places at the front go once they are half the table: each block's place is
      // moved at most once for each time it is freed, so a pop stays constant time on average.
      blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(gone_));
      gone_ = 0;
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
      if (!f(block(at / kPerBlock) + at % kPerBlock, k)) return false;
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
  static Block newBlock(size_t room) {
    return Block(static_cast<T*>(::operator new(room * sizeof(T))));
  }

  size_t blockCount() const { return blocks_.size() - gone_; }
  T* block(size_t j) const { return blocks_[gone_ + j].get(); }

  // The sole block is full: a larger one (twice the room, enough for `need` entries, at most a
  // whole block) takes its entries, at the same places.
  void growFirst(size_t need) {
    size_t room = firstRoom_;
    while (room < need && room < kPerBlock) room *= 2;
    room = std::min(room, kPerBlock);
    Block bigger = newBlock(room);
    std::memcpy(static_cast<void*>(bigger.get() + head_), block(0) + head_, size_ * sizeof(T));
    blocks_[gone_] = std::move(bigger);
    firstRoom_ = room;
  }

  std::vector<Block> blocks_;  // blocks_[gone_] holds the oldest entry; those before it are freed
  size_t gone_ = 0;
  size_t firstRoom_ = kPerBlock;  // room of the first block: less than kPerBlock only when sole
  size_t head_ = 0;               // index of the oldest entry in the first block
  size_t size_ = 0;
};

}  // namespace adt
