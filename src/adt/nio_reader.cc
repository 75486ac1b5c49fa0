#include "adt/nio_reader.h"

#include <algorithm>
#include <cstring>

#include "adt/tagged_format.h"

namespace adt {

void NioQueueReader::append(Buffer* block) {
  std::unique_ptr<Buffer> owned(block);
  append(block->begin(), block->size());
}

void NioQueueReader::append(const void* bytes, size_t n) {
  if (n == 0) return;
  if (capacity_ - end_ < n) {
    const size_t unread = end_ - start_;
    if (capacity_ - unread >= n && start_ >= capacity_ / 4) {
      // Enough room once the read part is given back; a quarter at least is won each time, so
      // the moving costs a few copies of each byte, and the room stays under twice the unread.
      std::memmove(bytes_.get(), bytes_.get() + start_, unread);
    } else {
      // Half as much again: amortised copying without doubling a large element's memory.
      const size_t grown = std::max<size_t>({unread + n, capacity_ + capacity_ / 2, 256});
      std::unique_ptr<uint8_t[]> next(new uint8_t[grown]);
      if (unread) std::memcpy(next.get(), bytes_.get() + start_, unread);
      bytes_ = std::move(next);
      capacity_ = grown;
    }
    start_ = 0;
    end_ = unread;
  }
  std::memcpy(bytes_.get() + end_, bytes, n);
  end_ += n;
}

void NioQueueReader::read(void* dst, size_t n) {
  if (n > available()) tagged::throwUnexpectedEof();
  if (dst && n) std::memcpy(dst, bytes_.get() + start_, n);
  start_ += n;
  if (start_ == end_) {
    start_ = end_ = 0;
    // A large element read up: its room goes back rather than staying with the connection.
    if (capacity_ > kKeptRoom) {
      bytes_.reset();
      capacity_ = 0;
    }
  }
}

}  // namespace adt
