#include "agents/amp.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>

#include "adt/exception.h"
#include "adt/tagged_writer.h"

namespace agents::amp {
namespace {

adt::Bytes bytesOf(std::initializer_list<int> list) {
  adt::Bytes out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

// A copy in a heap block of exactly `n` bytes, so that a read past the end lands outside the
// allocation (and is reported by the address sanitizer in sanitized builds).
std::unique_ptr<uint8_t[]> exactCopy(const uint8_t* data, size_t n) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
  if (n) std::memcpy(copy.get(), data, n);
  return copy;
}

template <typename Fn>
void expectReaderError(Fn fn, const std::string& text) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected: " << text;
  } catch (const adt::TaggedReaderException& e) {
    EXPECT_EQ(e.text(), text);
  }
}

TEST(AmpHeader, ExactBytesAndRoundTrip) {
  Header h;
  h.code = kPing;
  h.arg = 0x01020304;
  h.value1 = 5;
  h.value2 = 0xA0B0C0D0;
  const uint8_t payload[3] = {0xEE, 0xFF, 0x00};
  const adt::Bytes d = encodeDatagram(h, payload, sizeof payload);
  EXPECT_EQ(d, bytesOf({0x1C, 0, 0, 0, 0x71, 0x67, 0xDE, 0x3A, 9, 0, 0, 0, 4,    3,    2,   1,
                        5,    0, 0, 0, 0xD0, 0xC0, 0xB0, 0xA0, 3, 0, 0, 0, 0xEE, 0xFF, 0x00}));

  Datagram out;
  ASSERT_EQ(decodeDatagram(d.data(), d.size(), out), DecodeStatus::kOk);
  h.dataLength = 3;
  EXPECT_EQ(out.header, h);
  EXPECT_EQ(out.payload, d.data() + kHeaderSize);
  EXPECT_EQ(out.payloadSize, 3u);

  // A request as the manager sends it, no payload: only code and arg set.
  const adt::Bytes r = encodeRequest(kTerminateAgent, 0);
  ASSERT_EQ(decodeDatagram(r.data(), r.size(), out), DecodeStatus::kOk);
  EXPECT_EQ(out.header, (Header{kTerminateAgent, 0, 0, 0, 0}));
  EXPECT_EQ(out.payloadSize, 0u);
}

TEST(AmpHeader, RejectsShortForeignAndTruncatedDatagrams) {
  const adt::Bytes good = encodeRequest(kUpdateNotice, 7, bytesOf({1, 2, 3, 4}));
  Datagram untouched;
  untouched.payloadSize = 12345;
  for (size_t n = 0; n < kHeaderSize; ++n) {
    auto copy = exactCopy(good.data(), n);
    Datagram out = untouched;
    EXPECT_EQ(decodeDatagram(copy.get(), n, out), DecodeStatus::kTooShort) << n;
    EXPECT_EQ(out.payloadSize, 12345u);
  }
  // Cut inside the payload: the header promises 4 bytes.
  for (size_t n = kHeaderSize; n < good.size(); ++n) {
    auto copy = exactCopy(good.data(), n);
    Datagram out = untouched;
    EXPECT_EQ(decodeDatagram(copy.get(), n, out), DecodeStatus::kTruncated) << n;
    EXPECT_EQ(out.payloadSize, 12345u);
  }
  adt::Bytes bad = good;
  bad[7] = 0x3B;  // magic
  Datagram out;
  EXPECT_EQ(decodeDatagram(bad.data(), bad.size(), out), DecodeStatus::kForeign);
  bad = good;
  bad[0] = 32;  // headerSize
  EXPECT_EQ(decodeDatagram(bad.data(), bad.size(), out), DecodeStatus::kBadHeaderSize);
  bad = good;
  bad[24] = bad[25] = bad[26] = bad[27] = 0xFF;  // dataLength 4 GiB - 1 must not wrap around
  EXPECT_EQ(decodeDatagram(bad.data(), bad.size(), out), DecodeStatus::kTruncated);
  EXPECT_STREQ(decodeStatusText(DecodeStatus::kForeign), "foreign datagram");

  // Bytes after the announced payload are not part of it.
  bad = good;
  bad.push_back(0x55);
  ASSERT_EQ(decodeDatagram(bad.data(), bad.size(), out), DecodeStatus::kOk);
  EXPECT_EQ(out.payloadSize, 4u);
}

TEST(AmpHeader, RefusesPayloadsBeyondTheReceiveBuffer) {
  adt::Bytes big(kMaxPayload + 1);
  EXPECT_THROW(encodeDatagram(Header{}, big), adt::Exception);
  big.pop_back();
  EXPECT_EQ(encodeDatagram(Header{}, big).size(), kMaxDatagram);
}

TEST(AmpCodes, ReservedAnswerCodes) {
  for (uint32_t c : {1u, 10u, 12u, 17u, 18u, 20u}) EXPECT_TRUE(isReservedAgentCode(c)) << c;
  for (uint32_t c : {0u, 3u, 5u, 8u, 9u, 14u, 16u, 19u, 22u, 100u}) {
    EXPECT_FALSE(isReservedAgentCode(c)) << c;
  }
}

TEST(AmpStartReport, FullRoundTripWithCyrillicTexts) {
  StartReport r;
  r.pid = 4242;
  r.hasStartWord = true;
  r.startWord = 0xBEEF;
  r.hasVersion = true;
  r.version[0] = 5;
  r.version[1] = 2;
  r.version[2] = 400;
  r.version[3] = 7;
  r.hasText1 = true;
  r.text1 = "Агент";
  r.hasText2 = true;
  r.text2 = "/var/log/агент.log";
  const adt::Bytes p = encodeStartReport(r);
  // Texts travel in Windows-1251, one byte per letter, each ended by a NUL.
  EXPECT_EQ(p.size(), 4 + 2 + 16 + 6 + 19u);
  EXPECT_EQ(p[22], 0xC0);  // "А"
  StartReport back;
  ASSERT_TRUE(decodeStartReport(p.data(), p.size(), back));
  EXPECT_EQ(back, r);
  EXPECT_EQ(back.versionNumber(), adt::makeVersion(5, 2, 400));
}

TEST(AmpStartReport, OptionalPartsStopAtTheEnd) {
  StartReport r;
  r.pid = 0x01020304;
  EXPECT_EQ(encodeStartReport(r), bytesOf({4, 3, 2, 1}));
  r.hasStartWord = true;
  r.startWord = 0x0201;
  EXPECT_EQ(encodeStartReport(r), bytesOf({4, 3, 2, 1, 1, 2}));

  // A log file without text1: text1 goes out empty so that the log file stays second.
  StartReport onlyLog;
  onlyLog.pid = 1;
  onlyLog.hasText2 = true;
  onlyLog.text2 = "x.log";
  const adt::Bytes p = encodeStartReport(onlyLog);
  StartReport back;
  ASSERT_TRUE(decodeStartReport(p.data(), p.size(), back));
  EXPECT_TRUE(back.hasStartWord && back.hasVersion && back.hasText1 && back.hasText2);
  EXPECT_EQ(back.text1, "");
  EXPECT_EQ(back.text2, "x.log");

  // Every cut of a full report decodes to what is whole; a text without NUL ends at the end.
  StartReport full;
  full.pid = 77;
  full.hasStartWord = full.hasVersion = full.hasText1 = full.hasText2 = true;
  full.version[0] = 5;
  full.text1 = "ab";
  full.text2 = "cd";
  const adt::Bytes all = encodeStartReport(full);
  for (size_t n = 0; n <= all.size(); ++n) {
    auto copy = exactCopy(all.data(), n);
    StartReport cut;
    const bool ok = decodeStartReport(copy.get(), n, cut);
    ASSERT_EQ(ok, n >= 4) << n;
    if (!ok) continue;
    EXPECT_EQ(cut.pid, 77u);
    EXPECT_EQ(cut.hasStartWord, n >= 6) << n;
    EXPECT_EQ(cut.hasVersion, n >= 22) << n;
    EXPECT_EQ(cut.versionNumber(), n >= 22 ? adt::makeVersion(5, 0, 0) : 0u) << n;
    EXPECT_EQ(cut.hasText1, n >= 23) << n;
    if (n == 23) {
      EXPECT_EQ(cut.text1, "a");
    }
    EXPECT_EQ(cut.hasText2, n >= 26) << n;
    if (n == 26) {
      EXPECT_EQ(cut.text2, "c");
    }
    if (n == all.size()) {
      EXPECT_EQ(cut, full);
    }
  }
}

TEST(AmpStartAck, BytesAndHostileTail) {
  EXPECT_EQ(encodeStartAck(std::nullopt), bytesOf({2, 0, 0, 0, 0, 0, 0, 0}));
  const adt::Bytes withPid = encodeStartAck(0x01020304u);
  EXPECT_EQ(withPid, bytesOf({2, 0, 0, 0, 0, 0, 0, 0, 1, 4, 4, 3, 2, 1}));
  StartAck ack;
  ASSERT_TRUE(decodeStartAck(withPid.data(), withPid.size(), ack));
  EXPECT_EQ(ack.word1, kStartAckWord);
  EXPECT_EQ(ack.managerPid, 0x01020304u);
  ASSERT_TRUE(decodeStartAck(withPid.data(), 8, ack));
  EXPECT_FALSE(ack.managerPid.has_value());
  EXPECT_FALSE(decodeStartAck(withPid.data(), 7, ack));

  // The pid element claims 4 bytes, only 2 arrive.
  auto cut = exactCopy(withPid.data(), 12);
  expectReaderError([&] { decodeStartAck(cut.get(), 12, ack); }, "Tag stream unexpected eof");
  // Wrong size of the pid element.
  const adt::Bytes shortPid = bytesOf({2, 0, 0, 0, 0, 0, 0, 0, 1, 2, 9, 9});
  expectReaderError([&] { decodeStartAck(shortPid.data(), shortPid.size(), ack); },
                    "Invalid tag size(1) [need:4, but:2]");
}

TEST(AmpSocketHandover, RecordLayoutAndRejection) {
  // The record travels as is, whatever the platform put in it.
  uint8_t record[kSocketRecordSize];
  for (size_t i = 0; i < sizeof record; ++i) record[i] = static_cast<uint8_t>(i * 7 + 1);
  const adt::Bytes p = encodeSocketHandover(record);
  ASSERT_EQ(p.size(), 376u);
  EXPECT_EQ(adt::Bytes(p.begin(), p.begin() + 4), bytesOf({0x78, 1, 0, 0}));
  EXPECT_EQ(std::memcmp(p.data() + 4, record, sizeof record), 0);
  const uint8_t* got = nullptr;
  ASSERT_TRUE(decodeSocketHandover(p.data(), p.size(), got));
  EXPECT_EQ(got, p.data() + 4);

  auto cut = exactCopy(p.data(), 375);
  EXPECT_FALSE(decodeSocketHandover(cut.get(), 375, got));
  adt::Bytes wrongWord = p;
  wrongWord[0] = 0x77;
  EXPECT_FALSE(decodeSocketHandover(wrongWord.data(), wrongWord.size(), got));
}

Telemetry sampleTelemetry() {
  Telemetry t;
  Task a;
  a.id = 1;
  a.type = 2;
  a.op = 5000;
  a.pulse = 99;
  a.thread = 77;
  a.rq = -3;
  a.rqTime = 1500;
  a.user = 0.25;
  a.blocked = true;
  a.contextMessage = "ожидание ответа";
  a.stack = "at main\nat wait";
  a.extra = 0xABCD;
  Task b;  // only the fixed part
  b.id = 2;
  b.op = 25000;
  t.tasks = {a, b};
  Dictionary d;
  d.operations = {{5000, "запрос к базе"}};
  t.dictionary = encodeDictionary(d);
  t.hasDictionary = true;
  Sample s;
  s.values.setWord(2, 123);
  s.values.setWideDays(3, 1.5);
  s.values.setWide(20, 0x1122334455667788ull);
  s.values.setNestedValue(1, 1000);
  s.values.setNestedValue(5, 4000);
  s.values.gcDays = 0.001;
  s.count = 4;
  t.samples = {s};
  return t;
}

TEST(AmpTelemetry, RoundTripKeepsEveryField) {
  const Telemetry t = sampleTelemetry();
  const adt::Bytes p = encodeTelemetry(t);
  Telemetry back = decodeTelemetry(p.data(), p.size());
  ASSERT_EQ(back.samples.size(), 1u);
  EXPECT_EQ(back.samples[0].raw, encodePerformanceSample(t.samples[0].values));
  back.samples[0].raw.clear();  // the original was encoded from its values
  EXPECT_EQ(back, t);
  EXPECT_EQ(back.samples[0].values.word(2), 123u);
  EXPECT_EQ(back.samples[0].values.wideDays(3), 1.5);
  EXPECT_EQ(back.samples[0].values.nestedValue(5), 4000u);
  EXPECT_EQ(back.samples[0].values.gcDays, 0.001);
}

TEST(AmpTelemetry, ExactBytesOfOneTask) {
  Telemetry t;
  Task task;
  task.id = 1;
  task.op = 2;
  task.pulse = 3;
  task.thread = 4;
  t.tasks = {task};
  EXPECT_EQ(encodeTelemetry(t),
            bytesOf({1, 16, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 6, 4, 4, 0, 0, 0}));
}

TEST(AmpTelemetry, SkipsUnknownTagsAndDropsOrphanFields) {
  adt::Bytes p;
  {
    adt::TaggedBufferWriter w(p);
    w.writeInt(tag::kThread, 5);          // before any task: checked, dropped
    w.writeInt(tag::kSampleCount, 9);     // no sample yet: dropped
    w.writeTag(tag::kIgnored, "xyz", 3);  // skipped
    w.writeTag(200, "abc", 3);            // unknown: skipped
    const uint8_t head[16] = {7};
    w.writeTag(tag::kTask, head, sizeof head);  // task id 7
    w.writeTag(tag::kBlocked, "v", 1);          // a value on "blocked" is tolerated
    w.writeBytes(tag::kSample, encodePerformanceSample(PerformanceSample{}));
    w.writeInt(tag::kSampleCount, 3);
    w.writeInt(tag::kSampleCount, 8);  // the sample is closed: ignored
    w.writeTag(tag::kDictionary, "ab", 2);
    w.writeTag(tag::kDictionary, "cd", 2);  // appended
    w.flush();
  }
  const Telemetry t = decodeTelemetry(p.data(), p.size());
  ASSERT_EQ(t.tasks.size(), 1u);
  EXPECT_EQ(t.tasks[0].id, 7u);
  EXPECT_EQ(t.tasks[0].thread, 0u);
  EXPECT_TRUE(t.tasks[0].blocked);
  ASSERT_EQ(t.samples.size(), 1u);
  EXPECT_EQ(t.samples[0].count, 3u);
  EXPECT_TRUE(t.hasDictionary);
  EXPECT_EQ(t.dictionary, bytesOf({'a', 'b', 'c', 'd'}));
  EXPECT_EQ(decodeTelemetry(nullptr, 0), Telemetry{});
}

TEST(AmpTelemetry, WrongElementSizesAreReaderErrors) {
  struct Case {
    adt::Bytes bytes;
    const char* text;
  };
  const adt::Bytes task = bytesOf({1, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  auto after = [&](std::initializer_list<int> tail) {
    adt::Bytes b = task;
    for (int x : tail) b.push_back(static_cast<uint8_t>(x));
    return b;
  };
  const Case cases[] = {
      {bytesOf({1, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       "Invalid tag size(1) [need:16, but:15]"},
      {after({2, 3, 1, 2, 3}), "Invalid tag size(2) [need:4, but:3]"},
      {after({3, 4, 0, 0, 0, 0}), "Invalid tag size(3) [need:8, but:4]"},
      {after({6, 5, 0, 0, 0, 0, 0}), "Invalid tag size(6) [need:4, but:5]"},
      {after({7, 2, 0, 0}), "Invalid tag size(7) [need:4, but:2]"},
      {after({12, 4, 0, 0, 0, 0}), "Invalid tag size(12) [need:2, but:4]"},
      {after({11, 1, 0}), "Invalid tag size(11) [need:4, but:1]"},
      // A sample whose sub-tag 2 holds 8 bytes, and one whose gc time holds 4.
      {bytesOf({8, 10, 2, 8, 0, 0, 0, 0, 0, 0, 0, 0}), "Invalid tag size(2) [need:4, but:8]"},
      {bytesOf({8, 8, 12, 6, 3, 4, 0, 0, 0, 0}), "Invalid tag size(3) [need:8, but:4]"},
      // Sizes that run past the end, short and long form, at the top and nested.
      {after({10, 200, 'a'}), "Tag stream unexpected eof"},
      {bytesOf({0xFF, 5, 0xFF, 0xFF, 0xFF, 0xFF, 1}), "Tag stream unexpected eof"},
      {bytesOf({0xFF, 8, 0xFF, 0xFF, 0xFF, 0x7F}), "Tag stream unexpected eof"},
      {bytesOf({8, 3, 2, 4, 0}), "Tag stream unexpected eof"},
      {bytesOf({8, 4, 12, 2, 1, 4}), "Tag stream unexpected eof"},
      {bytesOf({9}), "Tag stream unexpected eof"},
      {bytesOf({0xFF, 9, 1}), "Tag stream unexpected eof"},
  };
  for (const Case& c : cases) {
    auto copy = exactCopy(c.bytes.data(), c.bytes.size());
    expectReaderError([&] { decodeTelemetry(copy.get(), c.bytes.size()); }, c.text);
  }
}

TEST(AmpTelemetry, EveryTruncationDecodesOrFailsCleanly) {
  const adt::Bytes p = encodeTelemetry(sampleTelemetry());
  size_t decoded = 0;
  for (size_t n = 0; n < p.size(); ++n) {
    auto copy = exactCopy(p.data(), n);
    try {
      const Telemetry t = decodeTelemetry(copy.get(), n);
      ++decoded;  // cut at an element boundary
    } catch (const adt::TaggedReaderException&) {
    }
  }
  // Only the cuts at the 13 element boundaries before the end decode.
  EXPECT_EQ(decoded, 13u);
}

TEST(AmpDictionary, DescribesSectionsAndRefusesDeepNesting) {
  Dictionary d;
  d.operations = {{100, "ожидание"}, {5000, "запрос"}};
  d.threads = {{1, "main"}};
  const adt::Bytes b = encodeDictionary(d);
  adt::String text;
  describeDictionary(b.data(), b.size(), text);
  EXPECT_EQ(text, "расшифровка:\nоперации:\n100=ожидание\n5000=запрос\nпотоки:\n1=main\n");

  // Sections inside sections: accepted down to the limit, refused below it.
  auto nest = [](int levels) {
    adt::Bytes inner = bytesOf({1, 4, 0xFF, 0xFF, 0xFF, 0xFF});  // -1=
    for (int i = 0; i < levels; ++i) {
      adt::Bytes outer;
      adt::TaggedBufferWriter w(outer);
      w.writeBytes(4, inner);
      w.flush();
      inner = outer;
    }
    return inner;
  };
  const adt::Bytes ok = nest(kMaxDictionaryDepth);
  text.clear();
  describeDictionary(ok.data(), ok.size(), text);
  EXPECT_NE(text.find("запросы:\n-1="), std::string::npos);
  const adt::Bytes deep = nest(5000);
  expectReaderError(
      [&] {
        adt::String t;
        describeDictionary(deep.data(), deep.size(), t);
      },
      "Invalid tag stream format");
}

TEST(AmpSample, AccessorsIgnoreSubTagsOfAnotherKind) {
  PerformanceSample s;
  s.setWord(3, 5);         // 3 holds 8 bytes
  s.setWide(2, 5);         // 2 holds 4 bytes
  s.setNestedValue(3, 5);  // nested 3 is the gc time
  EXPECT_EQ(s, PerformanceSample{});
  EXPECT_EQ(s.word(3), 0u);
  s.setWideDays(17, -2.5);
  EXPECT_EQ(s.wideDays(17), -2.5);
  EXPECT_EQ(s.wide(17), std::bit_cast<uint64_t>(-2.5));
}

}  // namespace
}  // namespace agents::amp
