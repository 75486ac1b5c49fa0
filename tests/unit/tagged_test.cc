#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "adt/compression_stream.h"
#include "adt/exception.h"
#include "adt/tagged_compressed.h"
#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "data.h"

namespace adt {
namespace {

using testsupport::patternBytes;

Bytes bytesOf(std::initializer_list<int> list) {
  Bytes out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

template <typename Fn>
void expectThrowText(Fn fn, const std::string& text) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected: " << text;
  } catch (const TaggedReaderException& e) {
    EXPECT_EQ(e.text(), text);
  } catch (const TaggedWriterException& e) {
    EXPECT_EQ(e.text(), text);
  } catch (const IOException& e) {
    EXPECT_EQ(e.text(), text);
  }
}

// Remembers every write, gather write and flush as it reaches the stream.
class RecordingStream : public OutputStream {
 public:
  struct Call {
    bool gather;
    std::vector<size_t> sizes;
    std::vector<const void*> pointers;
  };

  void write(const void* data, size_t n) override {
    calls.push_back({false, {n}, {data}});
    bytes.insert(bytes.end(), static_cast<const uint8_t*>(data),
                 static_cast<const uint8_t*>(data) + n);
  }
  void writev(const Chunk* chunks, int count) override {
    Call call{true, {}, {}};
    for (int i = 0; i < count; ++i) {
      call.sizes.push_back(chunks[i].size);
      call.pointers.push_back(chunks[i].data);
      const uint8_t* p = static_cast<const uint8_t*>(chunks[i].data);
      bytes.insert(bytes.end(), p, p + chunks[i].size);
    }
    calls.push_back(call);
  }
  void flush() override { ++flushes; }

  std::vector<Call> calls;
  Bytes bytes;
  int flushes = 0;
};

// Returns 1, 2, ..., 7, 1, 2, ... bytes per read, so every header and value straddles reads.
class DribbleStream : public InputStream {
 public:
  explicit DribbleStream(const Bytes& data) : data_(data) {}
  size_t read(void* dst, size_t n) override {
    step_ = step_ % 7 + 1;
    n = std::min({n, step_, data_.size() - pos_});
    std::memcpy(dst, data_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  const Bytes& data_;
  size_t pos_ = 0;
  size_t step_ = 0;
};

TEST(TaggedWriter, ShortFormUpTo240LongFormAbove) {
  MemoryTaggedWriter w;
  const Bytes v240 = patternBytes(240), v241 = patternBytes(241);
  w.writeTag(5, v240.data(), v240.size());
  ASSERT_EQ(w.size(), 242u);
  EXPECT_EQ(w.data()[0], 5);
  EXPECT_EQ(w.data()[1], 240);
  EXPECT_EQ(0, std::memcmp(w.data() + 2, v240.data(), 240));

  w.reset();
  w.writeTag(6, v241.data(), v241.size());
  ASSERT_EQ(w.size(), 247u);
  const Bytes header(w.data(), w.data() + 6);
  EXPECT_EQ(header, bytesOf({0xFF, 6, 241, 0, 0, 0}));
  EXPECT_EQ(0, std::memcmp(w.data() + 6, v241.data(), 241));
}

TEST(TaggedWriter, FixedSizeValuesAreLittleEndian) {
  MemoryTaggedWriter w;
  w.writeByte(1, 0xAB);
  w.writeInt(2, 0x01020304);
  w.writeInt64(3, -2);
  w.writeStreamSignature();
  w.writeTag(4, nullptr, 0);
  EXPECT_EQ(w.toBytes(), bytesOf({1, 1,    0xAB, 2,    4,    4,    3,    2,    1,    3,
                                  8, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC9,
                                  6, 0x74, 0x69, 0x6F, 0,    1,    0,    4,    0}));
}

TEST(TaggedWriter, TextIsWindows1251AndCharPointerMayBeOmitted) {
  MemoryTaggedWriter w;
  w.writeString(1, String("Аб"));
  w.writeString(2, String());
  w.writeString(3, static_cast<const char*>(nullptr));
  w.writeString(4, "");
  w.writeString(5, "x");
  EXPECT_EQ(w.toBytes(), bytesOf({1, 2, 0xC0, 0xE1, 2, 0, 5, 1, 'x'}));
}

TEST(TaggedWriter, SmallElementsAreGatheredUntilTheStagingBufferIsFull) {
  RecordingStream out;
  {
    StreamTaggedWriter w(out);
    for (int i = 0; i < 170; ++i) w.writeInt(1, i);  // 1020 bytes staged
    EXPECT_TRUE(out.calls.empty());
    w.writeByte(2, 7);  // 1023 bytes still fit
    EXPECT_TRUE(out.calls.empty());
    w.writeInt(2, 7);  // 6 more bytes do not: the 1023 go first
    ASSERT_EQ(out.calls.size(), 1u);
    EXPECT_EQ(out.calls[0].sizes, std::vector<size_t>{1023});
    const Bytes v(200, 9);
    for (int i = 0; i < 6; ++i) w.writeTag(3, v.data(), v.size());  // 6 + 6 * 202 > 1024
    ASSERT_EQ(out.calls.size(), 2u);
    EXPECT_EQ(out.calls[1].sizes, std::vector<size_t>{6 + 5 * 202});
  }  // the destructor flushes the last element
  ASSERT_EQ(out.calls.size(), 3u);
  EXPECT_EQ(out.calls[2].sizes, std::vector<size_t>{202});
  EXPECT_EQ(out.flushes, 0);  // the writer flushes its staging buffer, not the stream
  EXPECT_EQ(out.bytes.size(), 1023u + 6 + 6 * 202);
}

TEST(TaggedWriter, LargeValueLeavesInOneGatherWriteWithoutCopy) {
  RecordingStream out;
  StreamTaggedWriter w(out);
  const Bytes mid = patternBytes(300), big = patternBytes(5000);
  w.writeTag(1, mid.data(), mid.size());  // 306 bytes still fit the staging buffer
  w.writeInt(2, 42);
  EXPECT_TRUE(out.calls.empty());
  w.writeTag(3, big.data(), big.size());
  ASSERT_EQ(out.calls.size(), 1u);
  EXPECT_TRUE(out.calls[0].gather);
  EXPECT_EQ(out.calls[0].sizes, (std::vector<size_t>{312, 6, 5000}));
  EXPECT_EQ(out.calls[0].pointers[2], big.data());
  // With nothing staged the first chunk is empty but still present.
  w.writeTag(4, big.data(), big.size());
  ASSERT_EQ(out.calls.size(), 2u);
  EXPECT_EQ(out.calls[1].sizes, (std::vector<size_t>{0, 6, 5000}));

  // A long-form element stays in the staging buffer only while it leaves room to spare.
  const Bytes edge = patternBytes(1018);
  w.writeTag(5, edge.data(), 1017);
  EXPECT_EQ(out.calls.size(), 2u);
  w.flush();
  w.writeTag(6, edge.data(), 1018);
  ASSERT_EQ(out.calls.size(), 4u);
  EXPECT_EQ(out.calls[3].sizes, (std::vector<size_t>{0, 6, 1018}));

  TaggedBufferReader r(out.bytes);
  Bytes got;
  EXPECT_EQ(r.nextTag(), 1);
  EXPECT_EQ(r.nextTag(), 2);
  EXPECT_EQ(r.readInt(), 42);
  EXPECT_EQ(r.nextTag(), 3);
  r.readBytes(got);
  EXPECT_EQ(got, big);
  EXPECT_EQ(r.nextTag(), 4);
  EXPECT_EQ(r.nextTag(), 5);
  EXPECT_EQ(r.currentSize(), 1017u);
  EXPECT_EQ(r.nextTag(), 6);
  r.readBytes(got);
  EXPECT_EQ(got, edge);
  EXPECT_EQ(r.nextTag(), 0);
}

TEST(TaggedWriter, OversizedValueIsRefusedBeforeAnythingIsStaged) {
  MemoryTaggedWriter w;
  const uint8_t byte = 0;
  if (sizeof(size_t) <= 4) GTEST_SKIP() << "no size of a 32-bit build exceeds the largest tag";
  // The size is checked before the value is touched, so the pointer need not cover it.
  const auto tooLong = static_cast<size_t>(adt::tagged::kMaxValueSize + 1);
  expectThrowText([&] { w.writeTag(1, &byte, tooLong); }, "Tag size too long");
  EXPECT_TRUE(w.isEmpty());
}

TEST(TaggedWriter, NestedBufferAndResetWriters) {
  MemoryTaggedWriter inner;
  EXPECT_TRUE(inner.isEmpty());
  inner.writeInt(1, 7);
  EXPECT_FALSE(inner.isEmpty());
  Bytes outer;
  {
    TaggedBufferWriter w(outer);
    w.writeNested(9, inner);
    w.writeString(2, String("z"));
  }
  EXPECT_EQ(outer, bytesOf({9, 6, 1, 4, 7, 0, 0, 0, 2, 1, 'z'}));
  inner.reset();
  EXPECT_TRUE(inner.isEmpty());
  EXPECT_EQ(inner.size(), 0u);
}

TEST(TaggedReader, ForeignShortSizes241To255) {
  Bytes in;
  for (int size = 241; size <= 255; ++size) {
    in.push_back(static_cast<uint8_t>(size - 200));
    in.push_back(static_cast<uint8_t>(size));
    const Bytes v = patternBytes(size, size);
    in.insert(in.end(), v.begin(), v.end());
  }
  MemoryTaggedReader r(in);
  for (int size = 241; size <= 255; ++size) {
    ASSERT_EQ(r.nextTag(), size - 200);
    EXPECT_EQ(r.currentSize(), static_cast<uint32_t>(size));
    Bytes got;
    r.readBytes(got);
    EXPECT_EQ(got, patternBytes(size, size));
  }
  EXPECT_EQ(r.nextTag(), 0);
}

TEST(TaggedReader, EndOfInputCases) {
  TaggedBufferReader empty(nullptr, 0);
  EXPECT_EQ(empty.nextTag(), 0);
  EXPECT_EQ(empty.currentTag(), 0);
  expectThrowText([&] { empty.readInt(); }, "Tag stream unexpected eof");

  const Bytes oneByte = bytesOf({5});
  TaggedBufferReader r1(oneByte);
  expectThrowText([&] { r1.nextTag(); }, "Tag stream unexpected eof");

  const Bytes longHeaderCut = bytesOf({0xFF, 5, 1});
  TaggedBufferReader r2(longHeaderCut);
  expectThrowText([&] { r2.nextTag(); }, "Tag stream unexpected eof");

  const Bytes valueCut = bytesOf({5, 4, 1, 2});
  TaggedBufferReader r3(valueCut);
  EXPECT_EQ(r3.nextTag(), 5);
  expectThrowText([&] { r3.readInt(); }, "Tag stream unexpected eof");
  TaggedBufferReader r4(valueCut);
  EXPECT_EQ(r4.nextTag(), 5);
  expectThrowText([&] { r4.nextTag(); }, "Tag stream unexpected eof");  // skipping it
}

TEST(TaggedReader, NextTagSkipsUnreadValues) {
  MemoryTaggedWriter w;
  w.writeInt(1, 11);
  const Bytes big = patternBytes(3000);
  w.writeBytes(2, big);
  w.writeInt(3, 33);
  const Bytes msg = w.toBytes();
  MemoryTaggedReader r(msg);
  EXPECT_EQ(r.nextTag(), 1);
  EXPECT_EQ(r.nextTag(), 2);
  EXPECT_EQ(r.nextTag(), 3);
  EXPECT_EQ(r.readInt(), 33);
  EXPECT_EQ(r.nextTag(), 0);

  // currentTag reads the header once; skipValue then nextTag moves on by exactly one element.
  MemoryTaggedReader again(msg);
  EXPECT_EQ(again.currentTag(), 1);
  EXPECT_EQ(again.currentTag(), 1);
  again.skipValue();
  EXPECT_EQ(again.currentTag(), 2);
  EXPECT_EQ(again.currentSize(), 3000u);
}

TEST(TaggedReader, TagAndSizeChecks) {
  MemoryTaggedWriter w;
  w.writeInt64(9, 1);
  w.writeInt(9, 1);
  w.writeInt(3, 1);
  w.writeByte(4, 1);
  const Bytes msg = w.toBytes();
  TaggedBufferReader r(msg);
  expectThrowText([&] { r.readInt(); }, "Invalid tag size(9) [need:4, but:8]");
  TaggedBufferReader r2(msg);
  r2.nextTag();
  r2.nextTag();
  int32_t v = 0;
  expectThrowText([&] { r2.read(3, &v, 4); }, "Invalid tag [need:3, but:9]");
  TaggedBufferReader r3(msg);
  r3.nextTag();
  r3.nextTag();
  r3.read(9, &v, 4);
  EXPECT_EQ(v, 1);
  Bytes blob;
  expectThrowText([&] { r3.readBlob(blob); }, "Invalid tag [need:202, but:3]");
}

TEST(TaggedReader, StreamSignature) {
  const auto check = [](Bytes b) {
    TaggedBufferReader r(b);
    r.checkStreamSignature();
  };
  check(bytesOf({0xC9, 6, 0x74, 0x69, 0x6F, 0, 1, 0}));
  expectThrowText(
      [&] {
        check(bytesOf({0xC9, 6, 0x74, 0x69, 0x6F, 0, 1, 1}));
      },
      "Invalid tag stream format");
  expectThrowText(
      [&] {
        check(bytesOf({0xC9, 6, 0x74, 0x69, 0x6F, 0, 2, 0}));
      },
      "Invalid tag stream format");
  expectThrowText(
      [&] {
        check(bytesOf({0xC9, 6, 0x74, 0x69, 0x70, 0, 1, 0}));
      },
      "Invalid tag stream format");
  expectThrowText(
      [&] {
        check(bytesOf({0xC9, 7, 0x74, 0x69, 0x6F, 0, 1, 0, 0}));
      },
      "Invalid tag stream format");
  expectThrowText(
      [&] {
        check(bytesOf({10, 6, 0x74, 0x69, 0x6F, 0, 1, 0}));
      },
      "Invalid tag [need:201, but:10]");
}

TEST(TaggedReader, TextForms) {
  const Bytes in = bytesOf(
      {1, 2, 0x07, 0x0B, 2, 5, 0x07, 0x0B, 0xD0, 0x96, 'x', 3, 2, 0xC0, 0xE1, 4, 0, 5, 1, 0x07});
  TaggedBufferReader r(in);
  EXPECT_EQ(r.readString(), "");
  EXPECT_EQ(r.readString(), "Жx");
  EXPECT_EQ(r.readString(), "Аб");
  EXPECT_EQ(r.readString(), "");
  EXPECT_EQ(r.readString(), "\x07");  // one byte: not the UTF-8 mark
}

TEST(TaggedReader, StreamReaderAcrossBlockBoundaries) {
  MemoryTaggedWriter w;
  w.writeStreamSignature();
  for (int i = 0; i < 300; ++i) {
    w.writeInt(1, i);
    w.writeString(2, String(i % 50, 'a' + i % 26));
    if (i % 37 == 0) w.writeBytes(3, patternBytes(100 + i * 40, i));  // up to 12 KB, past a block
  }
  const Bytes msg = w.toBytes();

  DribbleStream in(msg);
  StreamTaggedReader r(in);
  r.checkStreamSignature();
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(r.readInt(), i);
    ASSERT_EQ(r.readString(), String(i % 50, 'a' + i % 26));
    if (i % 37 == 0) {
      if (i % 2) {
        ASSERT_EQ(r.nextTag(), 3);
        if (i + 1 < 300) {
          ASSERT_EQ(r.nextTag(), 1);  // its value skipped through the stream
        }
      } else {
        Bytes got;
        r.readBytes(got);
        ASSERT_EQ(got, patternBytes(100 + i * 40, i));
      }
    }
  }
  EXPECT_EQ(r.nextTag(), 0);
}

TEST(TaggedReader, MemoryReaderInlineAndHeapContent) {
  MemoryTaggedWriter w;
  w.writeBytes(202, patternBytes(5000));
  MemoryTaggedReader r(w.toBytes());
  Bytes got;
  r.readBlob(got);
  EXPECT_EQ(got, patternBytes(5000));
  EXPECT_EQ(r.nextTag(), 0);

  const Bytes small = bytesOf({7, 1, 9});
  r.assign(small.data(), small.size());
  EXPECT_EQ(r.nextTag(), 7);
  EXPECT_EQ(r.readByte(), 9);
  r.assign(w.data(), w.size());  // back to the kept heap block
  r.readBlob(got);
  EXPECT_EQ(got, patternBytes(5000));
}

TEST(TaggedReader, DeclaredSizeIsNotAllocatedUpFront) {
  // A long-form header promising 4 GiB - 1, followed by 100 bytes.
  Bytes in = bytesOf({0xFF, 202, 0xFF, 0xFF, 0xFF, 0xFF});
  in.resize(in.size() + 100, 1);
  DribbleStream stream(in);
  StreamTaggedReader r(stream);
  Bytes got;
  expectThrowText([&] { r.readBlob(got); }, "Tag stream unexpected eof");
  EXPECT_LT(got.capacity(), size_t{8} << 20);

  // A settable maximum refuses such values at once.
  TaggedBufferReader limited(in);
  limited.setMaxValueSize(1 << 20);
  expectThrowText([&] { limited.readBytes(got); }, "Tag size too long");

  // A genuine value larger than the first piece still arrives whole.
  MemoryTaggedWriter w;
  const Bytes big = patternBytes(3 << 20);
  w.writeBytes(1, big);
  const Bytes msg = w.toBytes();
  DribbleStream bigStream(msg);
  StreamTaggedReader r2(bigStream);
  r2.readBytes(got);
  EXPECT_EQ(got, big);
}

Bytes inflateAll(const uint8_t* data, size_t n, int windowBits) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, windowBits), Z_OK);
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(n);
  Bytes out;
  int rc = Z_OK;
  while (rc == Z_OK) {
    uint8_t buf[4096];
    z.next_out = buf;
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
  }
  EXPECT_EQ(rc, Z_STREAM_END);
  inflateEnd(&z);
  return out;
}

void writeSample(TaggedWriter& w, size_t blobSize) {
  w.writeInt(1, 12345);
  w.writeString(2, String("строка"));
  w.writeBytes(3, patternBytes(blobSize));
  w.writeInt64(4, -1);
}

TEST(CompressedTagged, RoundTripsSmallAndLargeContent) {
  for (size_t blobSize : {size_t{10}, size_t{200} << 10}) {
    SCOPED_TRACE(blobSize);
    MemoryTaggedWriter plain;
    writeSample(plain, blobSize);

    CompressedMemoryTaggedWriter cw;
    writeSample(cw, blobSize);
    MemoryTaggedWriter outer;
    outer.writeInt(9, 1);
    cw.writeTo(77, outer);
    EXPECT_EQ(cw.uncompressedSize(), plain.size());
    // The value is a zlib stream of exactly the plain bytes.
    EXPECT_EQ(inflateAll(cw.compressedData(), cw.compressedSize(), 15), plain.toBytes());

    MemoryTaggedReader outerReader(outer.toBytes());
    EXPECT_EQ(outerReader.readInt(), 1);
    CompressedMemoryTaggedReader cr;
    cr.readFrom(77, outerReader);
    EXPECT_EQ(cr.readInt(), 12345);
    EXPECT_EQ(cr.readString(), "строка");
    Bytes got;
    cr.readBytes(got);
    EXPECT_EQ(got, patternBytes(blobSize));
    EXPECT_EQ(cr.readInt64(), -1);
    EXPECT_EQ(cr.nextTag(), 0);
    EXPECT_EQ(outerReader.nextTag(), 0);
  }
}

TEST(CompressedTagged, WriterAndReaderAreReusable) {
  CompressedMemoryTaggedWriter cw;
  MemoryTaggedWriter outer;
  cw.writeInt(1, 100);
  cw.writeTo(50, outer);
  cw.writeTo(51, outer);  // nothing written since: an empty stream
  cw.writeInt(1, 200);
  cw.writeTo(52, outer);
  outer.writeTag(53, nullptr, 0);

  MemoryTaggedReader in(outer.toBytes());
  CompressedMemoryTaggedReader cr;
  cr.readFrom(50, in);
  EXPECT_EQ(cr.readInt(), 100);
  cr.readFrom(51, in);
  EXPECT_EQ(cr.nextTag(), 0);
  cr.readFrom(52, in);
  EXPECT_EQ(cr.readInt(), 200);
  cr.readFrom(53, in);  // an empty value is an empty stream
  EXPECT_EQ(cr.nextTag(), 0);
  expectThrowText([&] { cr.readFrom(54, in); }, "Invalid tag [need:54, but:0]");
}

TEST(CompressedTagged, HostileValuesFail) {
  // 32 MiB of one repeated element compresses to a few KiB.
  CompressedMemoryTaggedWriter cw;
  const Bytes chunk(200, 0);
  for (int i = 0; i < (32 << 20) / 202; ++i) cw.writeBytes(1, chunk);
  MemoryTaggedWriter outer;
  cw.writeTo(60, outer);
  EXPECT_LT(cw.compressedSize(), size_t{256} << 10);

  const Bytes bomb = outer.toBytes();
  MemoryTaggedReader in(bomb);
  CompressedMemoryTaggedReader limited(1 << 20);
  limited.readFrom(60, in);
  expectThrowText(
      [&] {
        while (limited.nextTag()) {
        }
      },
      "zlib data error: inflated size over the limit");

  // The default limit lets it through.
  in.assign(bomb.data(), bomb.size());
  CompressedMemoryTaggedReader generous;
  generous.readFrom(60, in);
  size_t elements = 0;
  while (generous.nextTag()) ++elements;
  EXPECT_EQ(elements, size_t((32 << 20) / 202));

  // Garbage and a cut stream.
  MemoryTaggedWriter bad;
  bad.writeTag(61, "\x78\x9C\xFF\xFF\xFF\xFF", 6);
  const Bytes cut(bomb.begin(), bomb.begin() + 300);
  Bytes cutValue(cut.begin() + 6, cut.end());
  bad.writeBytes(62, cutValue);
  MemoryTaggedReader badIn(bad.toBytes());
  CompressedMemoryTaggedReader cr;
  cr.readFrom(61, badIn);
  expectThrowText([&] { cr.nextTag(); }, "zlib data error");
  cr.readFrom(62, badIn);
  expectThrowText(
      [&] {
        while (cr.nextTag()) {
        }
      },
      "zlib buffer error");
}

TEST(CompressionStream, RawDeflateInflatesBackAndFinishesInnerStream) {
  RecordingStream inner;
  const Bytes data = patternBytes(300 << 10);
  {
    CompressionStream z(inner);
    for (size_t off = 0; off < data.size(); off += 7000) {
      z.write(data.data() + off, std::min<size_t>(7000, data.size() - off));
    }
    const Bytes zeros(100 << 10, 0);
    z.write(zeros.data(), zeros.size());
    z.flush();
    EXPECT_EQ(inner.flushes, 1);
    expectThrowText([&] { z.write("x", 1); }, "zlib invalid stream state");
  }
  for (const auto& call : inner.calls) {
    EXPECT_FALSE(call.gather);
    EXPECT_LE(call.sizes[0], CompressionStream::kOutputArea);
  }
  Bytes expected = data;
  expected.resize(expected.size() + (100 << 10), 0);
  EXPECT_EQ(inflateAll(inner.bytes.data(), inner.bytes.size(), -15), expected);
}

TEST(CompressionStream, ZlibResultTexts) {
  EXPECT_STREQ(zlibResultText(Z_ERRNO), "zlib errno");
  EXPECT_STREQ(zlibResultText(Z_STREAM_ERROR), "zlib invalid stream state");
  EXPECT_STREQ(zlibResultText(Z_DATA_ERROR), "zlib data error");
  EXPECT_STREQ(zlibResultText(Z_MEM_ERROR), "zlib out of memory");
  EXPECT_STREQ(zlibResultText(Z_BUF_ERROR), "zlib buffer error");
  EXPECT_STREQ(zlibResultText(Z_VERSION_ERROR), "zlib wrong version");
  EXPECT_STREQ(zlibResultText(-42), "Unknown zlib error");
  EXPECT_NO_THROW(checkZlibResult(Z_STREAM_END));
  expectThrowText([] { checkZlibResult(Z_DATA_ERROR); }, "zlib data error");
}

}  // namespace
}  // namespace adt
