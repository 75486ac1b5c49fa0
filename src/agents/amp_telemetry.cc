// The tagged parts of AMP: telemetry (tasks, performance samples) and the decoding dictionary.
#include <bit>
#include <cstring>
#include <iterator>

#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "agents/amp.h"

namespace agents::amp {

using adt::tagged::getLe32;
using adt::tagged::getLe64;
using adt::tagged::putLe32;
using adt::tagged::putLe64;

namespace {

template <size_t N>
int indexOf(const uint8_t (&tags)[N], int subTag) {
  for (size_t i = 0; i < N; ++i) {
    if (tags[i] == subTag) return static_cast<int>(i);
  }
  return -1;
}

uint64_t readWide(adt::TaggedReader& in) {
  uint8_t v[8];
  in.readExact(v, sizeof v);
  return getLe64(v);
}

void writeWide(adt::TaggedWriter& out, uint8_t tag, uint64_t value) {
  uint8_t v[8];
  putLe64(v, value);
  out.writeTag(tag, v, sizeof v);
}

void decodeNestedBlock(const adt::Bytes& block, PerformanceSample& s) {
  adt::TaggedBufferReader in(block);
  for (uint8_t t = in.nextTag(); t != 0; t = in.nextTag()) {
    const int i = indexOf(PerformanceSample::kNestedWordTags, t);
    if (i >= 0) {
      s.nested[i] = static_cast<uint32_t>(in.readInt());
    } else if (t == PerformanceSample::kNestedGcTag) {
      s.gcDays = std::bit_cast<double>(readWide(in));
    }
  }
}

}  // namespace

// --- PerformanceSample ---

uint32_t PerformanceSample::word(int subTag) const {
  const int i = indexOf(kWordTags, subTag);
  return i < 0 ? 0 : words[i];
}

void PerformanceSample::setWord(int subTag, uint32_t value) {
  const int i = indexOf(kWordTags, subTag);
  if (i >= 0) words[i] = value;
}

uint64_t PerformanceSample::wide(int subTag) const {
  const int i = indexOf(kWideTags, subTag);
  return i < 0 ? 0 : wides[i];
}

void PerformanceSample::setWide(int subTag, uint64_t value) {
  const int i = indexOf(kWideTags, subTag);
  if (i >= 0) wides[i] = value;
}

double PerformanceSample::wideDays(int subTag) const { return std::bit_cast<double>(wide(subTag)); }

void PerformanceSample::setWideDays(int subTag, double days) {
  setWide(subTag, std::bit_cast<uint64_t>(days));
}

uint32_t PerformanceSample::nestedValue(int n) const {
  const int i = indexOf(kNestedWordTags, n);
  return i < 0 ? 0 : nested[i];
}

void PerformanceSample::setNestedValue(int n, uint32_t value) {
  const int i = indexOf(kNestedWordTags, n);
  if (i >= 0) nested[i] = value;
}

adt::Bytes encodePerformanceSample(const PerformanceSample& s) {
  adt::MemoryTaggedWriter nested;
  for (size_t i = 0; i < std::size(s.nested); ++i) {
    nested.writeInt(PerformanceSample::kNestedWordTags[i], static_cast<int32_t>(s.nested[i]));
  }
  writeWide(nested, PerformanceSample::kNestedGcTag, std::bit_cast<uint64_t>(s.gcDays));

  adt::Bytes out;
  adt::TaggedBufferWriter w(out);
  for (size_t i = 0; i < std::size(s.words); ++i) {
    w.writeInt(PerformanceSample::kWordTags[i], static_cast<int32_t>(s.words[i]));
  }
  for (size_t i = 0; i < std::size(s.wides); ++i) {
    writeWide(w, PerformanceSample::kWideTags[i], s.wides[i]);
  }
  w.writeNested(PerformanceSample::kNestedTag, nested);
  w.flush();
  return out;
}

PerformanceSample decodePerformanceSample(const uint8_t* data, size_t size) {
  PerformanceSample s;
  adt::TaggedBufferReader in(data, size);
  for (uint8_t t = in.nextTag(); t != 0; t = in.nextTag()) {
    if (const int i = indexOf(PerformanceSample::kWordTags, t); i >= 0) {
      s.words[i] = static_cast<uint32_t>(in.readInt());
    } else if (const int j = indexOf(PerformanceSample::kWideTags, t); j >= 0) {
      s.wides[j] = readWide(in);
    } else if (t == PerformanceSample::kNestedTag) {
      adt::Bytes block;
      in.readBytes(block);
      decodeNestedBlock(block, s);
    }
    // 8, 18, 19 and unknown sub-tags: skipped by nextTag.
  }
  return s;
}

// --- Telemetry ---

adt::Bytes encodeTelemetry(const Telemetry& t) {
  adt::Bytes out;
  adt::TaggedBufferWriter w(out);
  for (const Task& task : t.tasks) {
    uint8_t head[16];
    putLe32(head, task.id);
    putLe32(head + 4, static_cast<uint32_t>(task.type));
    putLe32(head + 8, static_cast<uint32_t>(task.op));
    putLe32(head + 12, task.pulse);
    w.writeTag(tag::kTask, head, sizeof head);
    if (task.thread) w.writeInt(tag::kThread, static_cast<int32_t>(task.thread));
    if (task.rq) w.writeInt(tag::kRequest, task.rq);
    if (task.rqTime) w.writeInt(tag::kRequestTime, static_cast<int32_t>(task.rqTime));
    if (task.user != 0) writeWide(w, tag::kUserTime, std::bit_cast<uint64_t>(task.user));
    if (task.blocked) w.writeTag(tag::kBlocked, nullptr, 0);
    if (!task.contextMessage.empty()) w.writeString(tag::kContext, task.contextMessage);
    if (task.extra) {
      const uint8_t extra[2] = {static_cast<uint8_t>(task.extra),
                                static_cast<uint8_t>(task.extra >> 8)};
      w.writeTag(tag::kExtra, extra, sizeof extra);
    }
    if (!task.stack.empty()) w.writeString(tag::kStack, task.stack);
  }
  if (t.hasDictionary) w.writeBytes(tag::kDictionary, t.dictionary);
  if (t.leadingCount) w.writeInt(tag::kSampleCount, static_cast<int32_t>(t.leadingCount));
  for (const Sample& s : t.samples) {
    if (s.raw.empty()) {
      w.writeBytes(tag::kSample, encodePerformanceSample(s.values));
    } else {
      w.writeBytes(tag::kSample, s.raw);
    }
    if (s.count) w.writeInt(tag::kSampleCount, static_cast<int32_t>(s.count));
  }
  w.flush();
  return out;
}

Telemetry decodeTelemetry(const uint8_t* payload, size_t size) {
  Telemetry t;
  adt::TaggedBufferReader in(payload, size);
  Task orphan;  // fields that come before the first task are read into this and dropped
  for (uint8_t tg = in.nextTag(); tg != 0; tg = in.nextTag()) {
    Task& task = t.tasks.empty() ? orphan : t.tasks.back();
    switch (tg) {
      case tag::kTask: {
        uint8_t head[16];
        in.readExact(head, sizeof head);
        Task fresh;
        fresh.id = getLe32(head);
        fresh.type = static_cast<int32_t>(getLe32(head + 4));
        fresh.op = static_cast<int32_t>(getLe32(head + 8));
        fresh.pulse = getLe32(head + 12);
        t.tasks.push_back(std::move(fresh));
        break;
      }
      case tag::kRequest:
        task.rq = in.readInt();
        break;
      case tag::kUserTime:
        task.user = std::bit_cast<double>(readWide(in));
        break;
      case tag::kBlocked:
        task.blocked = true;  // a value, if any, is skipped
        break;
      case tag::kDictionary: {
        adt::Bytes piece;
        in.readBytes(piece);
        t.dictionary.insert(t.dictionary.end(), piece.begin(), piece.end());
        t.hasDictionary = true;
        break;
      }
      case tag::kThread:
        task.thread = static_cast<uint32_t>(in.readInt());
        break;
      case tag::kRequestTime:
        task.rqTime = static_cast<uint32_t>(in.readInt());
        break;
      case tag::kSample: {
        Sample s;
        in.readBytes(s.raw);
        s.values = decodePerformanceSample(s.raw.data(), s.raw.size());
        t.samples.push_back(std::move(s));
        break;
      }
      case tag::kContext:
        in.readString(task.contextMessage);
        break;
      case tag::kSampleCount: {
        const uint32_t count = static_cast<uint32_t>(in.readInt());
        if (t.samples.empty()) {
          if (t.leadingCount == 0) t.leadingCount = count;
        } else if (t.samples.back().count == 0) {
          t.samples.back().count = count;
        }
        break;
      }
      case tag::kExtra: {
        uint8_t extra[2];
        in.readExact(extra, sizeof extra);
        task.extra = static_cast<uint16_t>(extra[0] | extra[1] << 8);
        break;
      }
      case tag::kStack:
        in.readString(task.stack);
        break;
      default:
        break;  // tag 9 and unknown tags: skipped by nextTag
    }
  }
  return t;
}

// --- Dictionary ---

namespace {

constexpr uint8_t kEntryNumber = 1;
constexpr uint8_t kEntryText = 2;
constexpr uint8_t kOperations = 3;
constexpr uint8_t kRequests = 4;
constexpr uint8_t kThreads = 5;

void writeSection(adt::TaggedWriter& w, uint8_t sectionTag,
                  const std::vector<DictionaryEntry>& entries) {
  if (entries.empty()) return;
  adt::MemoryTaggedWriter section;
  for (const DictionaryEntry& e : entries) {
    section.writeInt(kEntryNumber, e.number);
    section.writeString(kEntryText, e.text);
  }
  w.writeNested(sectionTag, section);
}

void describeLevel(adt::TaggedReader& in, adt::String& out, int depth) {
  for (uint8_t t = in.nextTag(); t != 0; t = in.nextTag()) {
    switch (t) {
      case kEntryNumber:
        out += adt::format("%d=", in.readInt());
        break;
      case kEntryText:
        out += in.readString();
        out += "\n";
        break;
      case kOperations:
      case kRequests:
      case kThreads: {
        if (depth >= kMaxDictionaryDepth) adt::tagged::throwInvalidFormat();
        out += t == kOperations ? "операции:\n" : t == kRequests ? "запросы:\n" : "потоки:\n";
        adt::Bytes section;
        in.readBytes(section);
        adt::TaggedBufferReader nested(section);
        describeLevel(nested, out, depth + 1);
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace

adt::Bytes encodeDictionary(const Dictionary& d) {
  adt::Bytes out;
  adt::TaggedBufferWriter w(out);
  writeSection(w, kOperations, d.operations);
  writeSection(w, kRequests, d.requests);
  writeSection(w, kThreads, d.threads);
  w.flush();
  return out;
}

void describeDictionary(const uint8_t* data, size_t size, adt::String& out) {
  out += "расшифровка:\n";
  adt::TaggedBufferReader in(data, size);
  describeLevel(in, out, 0);
}

}  // namespace agents::amp
