#include "adt/nio_reader.h"

#include <algorithm>
#include <cstring>

#include "adt/tagged_format.h"

namespace adt {

NioQueueReader::~NioQueueReader() {
  while (Buffer* block = blocks_.pop()) delete block;
}

void NioQueueReader::append(Buffer* block) {
  if (block->size() == 0) {
    delete block;
    return;
  }
  total_ += block->size();
  blocks_.push(block);
}

void NioQueueReader::read(void* dst, size_t n) {
  if (n > total_) tagged::throwUnexpectedEof();
  uint8_t* out = static_cast<uint8_t*>(dst);
  total_ -= n;
  while (n) {
    Buffer* block = blocks_.head();
    const size_t take = std::min(n, block->size());
    if (out) {
      std::memcpy(out, block->begin(), take);
      out += take;
    }
    block->start += static_cast<uint32_t>(take);
    n -= take;
    if (block->size() == 0) delete blocks_.pop();
  }
}

}  // namespace adt
