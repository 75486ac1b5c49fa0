#include <gtest/gtest.h>

#include <cstring>

#include "adt/exception.h"
#include "adt/nio_tagged_reader.h"
#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "data.h"

namespace adt {
namespace {

using testsupport::patternBytes;

template <typename Fn>
void expectReaderError(Fn fn, const std::string& text) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected: " << text;
  } catch (const TaggedReaderException& e) {
    EXPECT_EQ(e.text(), text);
  }
}

// Counts its destructions, to check who destroys the received blocks and when.
class CountedBuffer : public DynamicBuffer {
 public:
  CountedBuffer(const void* bytes, size_t n, int& destroyed)
      : DynamicBuffer(n), destroyed_(destroyed) {
    if (n) std::memcpy(data(), bytes, n);
    end = static_cast<uint32_t>(n);
  }
  ~CountedBuffer() override { ++destroyed_; }

 private:
  int& destroyed_;
};

void feed(AMTaggedReader& r, const uint8_t* p, size_t n) { r.append(new CopyBuffer(p, n)); }

TEST(NioQueueReader, ReadsAcrossPiecesAndTakesEachBlockAtOnce) {
  int destroyed = 0;
  NioQueueReader q;
  q.append(new CountedBuffer("abc", 3, destroyed));
  q.append(new CountedBuffer("", 0, destroyed));
  auto block = std::make_unique<CountedBuffer>("xxdefg", 6, destroyed);
  block->start = 2;  // only [start, end) counts
  q.append(std::move(block));
  q.append(new CountedBuffer("hij", 3, destroyed));
  // The bytes are copied: no block is kept waiting.
  EXPECT_EQ(destroyed, 4);
  EXPECT_EQ(q.available(), 10u);
  EXPECT_TRUE(q.has(10));
  EXPECT_FALSE(q.has(11));

  char out[8] = {};
  q.read(out, 2);
  EXPECT_EQ(std::string(out, 2), "ab");
  q.read(out, 3);  // crosses from one piece into the next
  EXPECT_EQ(std::string(out, 3), "cde");
  q.read(nullptr, 3);  // discards "fgh"
  expectReaderError([&] { q.read(out, 3); }, "Tag stream unexpected eof");
  EXPECT_EQ(q.available(), 2u);  // a failed read consumes nothing
  q.read(out, 2);
  EXPECT_EQ(std::string(out, 2), "ij");
}

TEST(NioQueueReader, MemoryFollowsWhatIsUnreadNotHowItArrived) {
  NioQueueReader q;
  // A peer trickling a large element one byte at a time.
  const Bytes element = patternBytes(1 << 20);
  for (uint8_t b : element) q.append(&b, 1);
  EXPECT_EQ(q.available(), element.size());
  EXPECT_LE(q.capacity(), element.size() + element.size() / 2 + 256);

  // Read in pieces while more arrives: the bytes come out in order, the room stays bounded.
  Bytes out(element.size());
  size_t got = 0;
  for (int round = 0; round < 100; ++round) {
    q.read(out.data() + got, 4096);
    got += 4096;
    q.append(element.data() + (got - 4096), 4096);  // as much again as was read
  }
  EXPECT_LE(q.capacity(), 2 * element.size() + 256);
  q.read(out.data() + got, out.size() - got);
  EXPECT_TRUE(out == element);

  // Read up, the large room is given back; a small one is kept for the next pieces.
  q.read(nullptr, q.available());
  EXPECT_EQ(q.capacity(), 0u);
  q.append("ab", 2);
  char two[2];
  q.read(two, 2);
  EXPECT_GT(q.capacity(), 0u);
  EXPECT_LE(q.capacity(), NioQueueReader::kKeptRoom);
}

TEST(NioTaggedReader, ElementAppearsOnlyWhenWhollyReceived) {
  MemoryTaggedWriter w;
  w.writeInt(1, 0x11223344);
  w.writeTag(2, nullptr, 0);
  const Bytes big = patternBytes(300);
  w.writeBytes(3, big);  // long form
  w.writeString(4, String("Аб"));
  const Bytes msg = w.toBytes();
  // Where each element's last byte is.
  const std::vector<size_t> ends = {6, 8, 8 + 306, 8 + 306 + 4};
  ASSERT_EQ(msg.size(), ends.back());

  AMTaggedReader r;
  size_t element = 0;
  for (size_t i = 0; i < msg.size(); ++i) {
    feed(r, &msg[i], 1);
    NioTag* tag = r.next();
    if (i + 1 != ends[element]) {
      ASSERT_EQ(tag, nullptr) << "at byte " << i;
      continue;
    }
    ASSERT_NE(tag, nullptr) << "at byte " << i;
    switch (element++) {
      case 0:
        EXPECT_EQ(tag->tag(), 1);
        EXPECT_EQ(tag->readInt(), 0x11223344);
        break;
      case 1:
        EXPECT_EQ(tag->tag(), 2);
        EXPECT_EQ(tag->size(), 0u);
        break;
      case 2: {
        EXPECT_EQ(tag->tag(), 3);
        EXPECT_EQ(tag->size(), 300u);
        Bytes got;
        tag->readBytes(got);
        EXPECT_EQ(got, big);
        EXPECT_EQ(tag->size(), 0u);
        break;
      }
      case 3:
        EXPECT_EQ(tag->readString(), "Аб");
        break;
    }
  }
  EXPECT_EQ(element, ends.size());
  EXPECT_EQ(r.next(), nullptr);
  EXPECT_EQ(r.available(), 0u);
}

TEST(NioTaggedReader, UnreadValuesAreDiscardedAndPiecesMayBeAnySize) {
  MemoryTaggedWriter w;
  w.writeStreamSignature();
  for (int i = 0; i < 200; ++i) {
    w.writeInt(1, i);
    w.writeBytes(2, patternBytes(i * 13, i));
  }
  const Bytes msg = w.toBytes();

  AMTaggedReader r;
  uint32_t rng = 7;
  size_t off = 0;
  int ints = 0;
  bool signatureSeen = false;
  while (off < msg.size() || r.available()) {
    if (off < msg.size()) {
      rng = rng * 1103515245u + 12345u;
      const size_t n = std::min<size_t>(1 + (rng >> 16) % 600, msg.size() - off);
      feed(r, msg.data() + off, n);
      off += n;
    }
    while (NioTag* tag = r.next()) {
      if (!signatureSeen) {
        tag->checkStreamSignature();
        signatureSeen = true;
      } else if (tag->tag() == 1) {
        ASSERT_EQ(tag->readInt(), ints++);
      }  // tag 2 is left unread: next() must skip it
    }
    if (off == msg.size()) break;
  }
  EXPECT_EQ(ints, 200);
  EXPECT_EQ(r.available(), 0u);
}

TEST(NioTaggedReader, ValueChecksAndTexts) {
  const auto reader = [](std::initializer_list<int> bytes) {
    auto r = std::make_unique<AMTaggedReader>();
    Bytes b;
    for (int v : bytes) b.push_back(static_cast<uint8_t>(v));
    feed(*r, b.data(), b.size());
    return r;
  };
  {
    auto r = reader({9, 8, 1, 0, 0, 0, 0, 0, 0, 0});
    NioTag* tag = r->next();
    ASSERT_NE(tag, nullptr);
    expectReaderError([&] { tag->readInt(); }, "Invalid tag size(9) [need:4, but:8]");
    EXPECT_EQ(tag->readInt64(), 1);
  }
  {
    auto r = reader({1, 2, 0x07, 0x0B, 2, 4, 0x07, 0x0B, 0xC3, 0xA9, 3, 2, 0xC0, 0xE1});
    EXPECT_EQ(r->next()->readString(), "");
    EXPECT_EQ(r->next()->readString(), "é");
    EXPECT_EQ(r->next()->readString(), "Аб");
  }
  {
    auto r = reader({0xC9, 6, 0x74, 0x69, 0x6F, 0, 1, 0});
    EXPECT_NO_THROW(r->next()->checkStreamSignature());
  }
  expectReaderError(
      [&] {
        reader({0xC9, 6, 0x74, 0x69, 0x6F, 0, 1, 1})->next()->checkStreamSignature();
      },
      "Invalid tag stream format");
  expectReaderError(
      [&] {
        reader({0xC9, 7, 0x74, 0x69, 0x6F, 0, 1, 0, 0})->next()->checkStreamSignature();
      },
      "Invalid tag stream format");
  expectReaderError(
      [&] {
        reader({10, 6, 0x74, 0x69, 0x6F, 0, 1, 0})->next()->checkStreamSignature();
      },
      "Invalid tag [need:201, but:10]");
}

TEST(NioTaggedReader, OversizedElementIsRefusedInsteadOfAwaited) {
  AMTaggedReader r;
  r.setMaxElementSize(1 << 20);
  const uint8_t header[] = {0xFF, 5, 0x00, 0x00, 0x00, 0x40};  // promises 1 GiB
  feed(r, header, sizeof header);
  expectReaderError([&] { r.next(); }, "Tag size too long");

  AMTaggedReader unlimited;
  feed(unlimited, header, sizeof header);
  EXPECT_EQ(unlimited.next(), nullptr);  // just waits for the value
}

}  // namespace
}  // namespace adt
