// Byte blocks for sending and receiving. [start, end) is the live part: received bytes of a
// receive buffer, or the part of a send buffer not yet sent. Buffers move between queues
// (socket receive queue, parser queue, send queue); whoever pops one owns it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "adt/queue.h"

namespace adt {

class Buffer : public Queue<Buffer>::Item {
 public:
  virtual ~Buffer() = default;
  // Makes the whole block available again (the meaning of "whole" is the subclass's).
  virtual void reset() = 0;
  // Byte 0 of the block.
  virtual uint8_t* data() = 0;

  uint8_t* begin() { return data() + start; }
  size_t size() const { return end - start; }

  uint32_t start = 0;
  uint32_t end = 0;
};

// A block inside the object; reset() makes all N bytes free for receiving.
template <size_t N>
class FixedBuffer final : public Buffer {
 public:
  FixedBuffer() { end = N; }
  void reset() override {
    start = 0;
    end = N;
  }
  uint8_t* data() override { return bytes_; }
  static constexpr size_t capacity() { return N; }

 private:
  uint8_t bytes_[N];
};

// A heap block owned by the buffer.
class DynamicBuffer : public Buffer {
 public:
  explicit DynamicBuffer(size_t capacity)
      : bytes_(new uint8_t[capacity ? capacity : 1]), capacity_(capacity) {}
  void reset() override { start = 0; }
  uint8_t* data() override { return bytes_.get(); }
  size_t capacity() const { return capacity_; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_;
};

// A heap copy of the given bytes, ready to send: start = 0, end = length.
class CopyBuffer final : public DynamicBuffer {
 public:
  CopyBuffer(const void* bytes, size_t n) : DynamicBuffer(n) {
    if (n) std::memcpy(data(), bytes, n);
    end = static_cast<uint32_t>(n);
  }
};

}  // namespace adt
