// Incremental byte sources for non-blocking sockets, which deliver data in arbitrary pieces.
#pragma once
#include <cstddef>
#include <memory>

#include "adt/buffer.h"

namespace adt {

// Bytes received so far, consumed in order.
class NioReader {
 public:
  NioReader() = default;
  NioReader(const NioReader&) = delete;
  NioReader& operator=(const NioReader&) = delete;
  virtual ~NioReader() = default;

  // Consumes exactly n bytes, copying them to dst or discarding them when dst is null. The
  // caller checks has(n) first; fewer bytes throw "Tag stream unexpected eof" and consume
  // nothing.
  virtual void read(void* dst, size_t n) = 0;
  // True when at least n bytes are buffered.
  virtual bool has(size_t n) const = 0;
};

// Received bytes kept in one contiguous block that grows as pieces arrive and gives back its
// room once read up: memory follows what is unread, whatever the size of the pieces (a peer
// that trickles one byte at a time costs one byte a byte). Blocks appended to it are copied and
// destroyed at once. Single-threaded.
class NioQueueReader : public NioReader {
 public:
  // A reader left empty keeps at most this much room for the next pieces.
  static constexpr size_t kKeptRoom = 65536;

  NioQueueReader() = default;
  ~NioQueueReader() override = default;

  // Takes ownership of `block`; its [start, end) bytes follow the ones already held.
  void append(Buffer* block);
  void append(std::unique_ptr<Buffer> block) { append(block.release()); }
  void append(const void* bytes, size_t n);

  void read(void* dst, size_t n) override;
  bool has(size_t n) const override { return n <= available(); }
  // Unread bytes.
  size_t available() const { return end_ - start_; }
  // Bytes of memory held (for the tests and diagnostics).
  size_t capacity() const { return capacity_; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_ = 0;
  size_t start_ = 0;
  size_t end_ = 0;
};

}  // namespace adt
