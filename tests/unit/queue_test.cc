#include "adt/queue.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "adt/buffer.h"
#include "adt/chunk_queue.h"

namespace adt {
namespace {

struct Node : Queue<Node>::Item {
  explicit Node(int v) : value(v) {}
  int value;
};

TEST(Queue, FifoOrderAndRemoval) {
  Node a(1), b(2), c(3);
  Queue<Node> q;
  EXPECT_EQ(q.pop(), nullptr);
  q.push(&a);
  q.push(&b);
  q.push(&c);
  EXPECT_TRUE(q.remove(&b));
  EXPECT_FALSE(q.remove(&b));
  EXPECT_EQ(q.pop(), &a);
  EXPECT_EQ(a.queueNext(), nullptr);
  q.push(&a);  // tail was fixed up by the removal
  EXPECT_EQ(q.pop(), &c);
  EXPECT_EQ(q.pop(), &a);
  EXPECT_TRUE(q.empty());
}

TEST(Buffer, CopyBufferIsReadyToSend) {
  CopyBuffer b("hello", 5);
  EXPECT_EQ(b.start, 0u);
  EXPECT_EQ(b.end, 5u);
  EXPECT_EQ(std::memcmp(b.begin(), "hello", 5), 0);
  FixedBuffer<16> f;
  f.start = 3;
  f.end = 4;
  f.reset();
  EXPECT_EQ(f.size(), 16u);
}

// The block store against a std::deque fed the same operations: runs that cross block
// boundaries, drops of whole blocks and of everything, and the bound on what it holds.
TEST(ChunkQueue, AgreesWithADequeAcrossBlockBoundaries) {
  using Q = ChunkQueue<uint8_t>;
  Q q;
  std::deque<uint8_t> model;
  std::mt19937 random(7);
  uint8_t next = 0;
  for (int step = 0; step < 4000; ++step) {
    const uint32_t draw = random();
    if (draw % 3 != 0) {
      std::vector<uint8_t> run(draw % 3000);  // up to most of a block at once
      for (uint8_t& b : run) b = next++;
      q.append(run.data(), run.size());
      model.insert(model.end(), run.begin(), run.end());
    } else {
      const size_t n = step % 97 == 0 ? model.size() + 5 : (draw / 3) % 2500;
      q.pop_front(n);
      model.erase(model.begin(), model.begin() + std::min(n, model.size()));
    }
    ASSERT_EQ(q.size(), model.size());
    ASSERT_LE(q.heldBytes(), model.size() + 2 * Q::kBlockBytes);
    if (model.empty()) {
      ASSERT_EQ(q.heldBytes(), 0u);  // nothing kept once everything has gone
      continue;
    }
    ASSERT_EQ(q.front(), model.front());
    ASSERT_EQ(q.back(), model.back());
    const size_t from = (draw >> 8) % model.size();
    const size_t n = std::min<size_t>(model.size() - from, 5000);
    std::vector<uint8_t> expected(model.begin() + from, model.begin() + from + n), got(n);
    q.copyOut(from, n, got.data());
    ASSERT_EQ(got, expected);
    ASSERT_TRUE(q.equals(from, expected.data(), n));
    if (n) {
      expected[n / 2] ^= 1;
      ASSERT_FALSE(q.equals(from, expected.data(), n));
    }
    ASSERT_EQ(q[from], model[from]);
  }
}

TEST(ChunkQueue, RecordsKeepTheirOrderAndIterateOldestFirst) {
  struct Record {
    double time;
    uint32_t id;
  };
  ChunkQueue<Record> q;
  const size_t perBlock = ChunkQueue<Record>::kPerBlock;
  for (uint32_t i = 0; i < 3 * perBlock + 1; ++i) q.push_back({i * 0.5, i});
  q.pop_front(perBlock + 2);
  uint32_t expected = static_cast<uint32_t>(perBlock + 2);
  for (const Record& r : q) {
    ASSERT_EQ(r.id, expected);
    ASSERT_EQ(r.time, expected * 0.5);
    ++expected;
  }
  EXPECT_EQ(expected, 3 * perBlock + 1);
  q.back().id = 99;  // entries are changed in place
  EXPECT_EQ(q[q.size() - 1].id, 99u);
  EXPECT_EQ(q.heldBytes(), 3 * perBlock * sizeof(Record));  // the first block has gone
}

}  // namespace
}  // namespace adt
