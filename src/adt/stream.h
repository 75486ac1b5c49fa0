// Byte stream interfaces shared by files, compression and tagged writers/readers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace adt {

// One piece of a gather write.
struct Chunk {
  size_t size;
  const void* data;
};

class InputStream {
 public:
  // Up to n bytes into dst; 0 at the end of the input.
  virtual size_t read(void* dst, size_t n) = 0;
  // Reads and discards up to n bytes in pieces of at most 1024; returns how many were skipped.
  virtual size_t skip(size_t n);
  virtual ~InputStream() = default;
};

class OutputStream {
 public:
  // Writes all n bytes or throws.
  virtual void write(const void* data, size_t n) = 0;
  // Writes the chunks in order; the default writes them one by one.
  virtual void writev(const Chunk* chunks, int count);
  // Pushes buffered bytes on (and, for transforming streams, finishes the transform).
  virtual void flush() {}
  virtual ~OutputStream() = default;
};

class SeekableInputStream : public InputStream {
 public:
  virtual void seek(uint64_t pos) = 0;
  virtual uint64_t size() = 0;
};

class SeekableOutputStream : public OutputStream {
 public:
  virtual void seek(uint64_t pos) = 0;
  virtual uint64_t size() = 0;
};

// Collects written bytes in memory.
class MemoryOutputStream : public OutputStream {
 public:
  void write(const void* data, size_t n) override {
    bytes_.append(static_cast<const char*>(data), n);
  }
  const std::string& bytes() const { return bytes_; }
  void clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

}  // namespace adt
