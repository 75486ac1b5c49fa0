// Incremental byte sources for non-blocking sockets, which deliver data in arbitrary pieces.
#pragma once
#include <cstddef>
#include <memory>

#include "adt/buffer.h"
#include "adt/queue.h"

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

// A first-in first-out list of received blocks, each read from its Buffer::start up to its
// Buffer::end. The reader owns the blocks appended to it and destroys each one as soon as it
// has been read up, and all remaining ones when it is destroyed. Single-threaded.
class NioQueueReader : public NioReader {
 public:
  NioQueueReader() = default;
  ~NioQueueReader() override;

  // Takes ownership of `block`; its [start, end) bytes follow the ones already queued.
  void append(Buffer* block);
  void append(std::unique_ptr<Buffer> block) { append(block.release()); }

  void read(void* dst, size_t n) override;
  bool has(size_t n) const override { return n <= total_; }
  // Unread bytes in all queued blocks.
  size_t available() const { return total_; }

 private:
  Queue<Buffer> blocks_;
  size_t total_ = 0;
};

}  // namespace adt
