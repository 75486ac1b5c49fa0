#include "adt/stream.h"

namespace adt {

size_t InputStream::skip(size_t n) {
  char scratch[1024];
  size_t done = 0;
  while (done < n) {
    const size_t want = n - done < sizeof scratch ? n - done : sizeof scratch;
    const size_t got = read(scratch, want);
    if (got == 0) break;
    done += got;
  }
  return done;
}

void OutputStream::writev(const Chunk* chunks, int count) {
  for (int i = 0; i < count; ++i) {
    if (chunks[i].size) write(chunks[i].data, chunks[i].size);
  }
}

}  // namespace adt
