// Throughput of the tagged writers and readers against a plain memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>

#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"

namespace {

adt::Bytes filler(size_t n) {
  adt::Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
  return b;
}

const adt::Bytes kValue100 = filler(100);
const adt::Bytes kBlob = filler(1 << 20);

// A typical 40-element message: ints, 64-bit numbers, short texts and a few 100-byte values.
void writeMessage(adt::TaggedWriter& w) {
  static const adt::String kName = "agent-01";
  for (int i = 0; i < 10; ++i) {
    w.writeInt(1, i * 1000);
    w.writeInt64(2, int64_t{i} << 40);
    w.writeString(3, kName);
    if (i % 3 == 0) {
      w.writeBytes(4, kValue100);
    } else {
      w.writeByte(5, static_cast<uint8_t>(i));
    }
  }
}

adt::Bytes messageBytes() {
  adt::MemoryTaggedWriter w;
  writeMessage(w);
  return w.toBytes();
}

void readMessage(adt::TaggedReader& r, adt::String& text, adt::Bytes& bytes) {
  int64_t sum = 0;
  while (uint8_t tag = r.nextTag()) {
    switch (tag) {
      case 1:
        sum += r.readInt();
        break;
      case 2:
        sum += r.readInt64();
        break;
      case 3:
        r.readString(text);
        break;
      case 4:
        r.readBytes(bytes);
        break;
      case 5:
        sum += r.readByte();
        break;
    }
  }
  benchmark::DoNotOptimize(sum);
}

void BM_WriteMessage(benchmark::State& state) {
  adt::MemoryTaggedWriter w;
  size_t size = 0;
  for (auto _ : state) {
    w.clear();
    writeMessage(w);
    size = w.size();
    benchmark::DoNotOptimize(w.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_WriteMessage);

void BM_ReadMessage(benchmark::State& state) {
  const adt::Bytes msg = messageBytes();
  adt::String text;
  adt::Bytes bytes;
  for (auto _ : state) {
    adt::TaggedBufferReader r(msg);
    readMessage(r, text, bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}
BENCHMARK(BM_ReadMessage);

void BM_MemcpyMessage(benchmark::State& state) {
  const adt::Bytes msg = messageBytes();
  adt::Bytes copy(msg.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), msg.data(), msg.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}
BENCHMARK(BM_MemcpyMessage);

void BM_WriteBlob(benchmark::State& state) {
  adt::MemoryTaggedWriter w;
  for (auto _ : state) {
    w.clear();
    w.writeBytes(202, kBlob);
    benchmark::DoNotOptimize(w.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlob.size()));
}
BENCHMARK(BM_WriteBlob);

void BM_ReadBlob(benchmark::State& state) {
  adt::MemoryTaggedWriter w;
  w.writeBytes(202, kBlob);
  const adt::Bytes msg = w.toBytes();
  adt::Bytes out;
  for (auto _ : state) {
    adt::TaggedBufferReader r(msg);
    r.readBlob(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlob.size()));
}
BENCHMARK(BM_ReadBlob);

void BM_MemcpyBlob(benchmark::State& state) {
  adt::Bytes copy(kBlob.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), kBlob.data(), kBlob.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlob.size()));
}
BENCHMARK(BM_MemcpyBlob);

}  // namespace
