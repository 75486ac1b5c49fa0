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

TEST(ChunkQueue, ASoleBlockStartsSmallAndDoublesAsItFills) {
  using Q = ChunkQueue<uint8_t>;
  static_assert(Q::kFirstRoom == Q::kFirstBytes && Q::kPerBlock == Q::kBlockBytes);
  Q q;
  std::deque<uint8_t> model;
  auto push = [&](uint8_t b) {
    q.push_back(b);
    model.push_back(b);
  };
  auto same = [&] {
    if (q.size() != model.size()) return false;
    for (size_t i = 0; i < model.size(); ++i) {
      if (q[i] != model[i]) return false;
    }
    return true;
  };
  push(1);
  EXPECT_EQ(q.heldBytes(), Q::kFirstBytes);
  // Entries popped from the front keep their places while the block grows around them.
  for (int i = 2; i <= 200; ++i) push(static_cast<uint8_t>(i));
  q.pop_front(150);
  model.erase(model.begin(), model.begin() + 150);
  for (size_t i = 0; i < Q::kFirstBytes; ++i) push(static_cast<uint8_t>(i * 7));
  EXPECT_EQ(q.heldBytes(), 2 * Q::kFirstBytes);
  ASSERT_TRUE(same());
  // One append larger than the doubling: the block grows to the room it needs at once, never
  // past a whole block; what does not fit goes to a second block.
  std::vector<uint8_t> run(3 * Q::kBlockBytes / 2);
  for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<uint8_t>(i * 13);
  q.append(run.data(), run.size());
  model.insert(model.end(), run.begin(), run.end());
  EXPECT_EQ(q.heldBytes(), 2 * Q::kBlockBytes);
  ASSERT_TRUE(same());
  // Emptied, it holds nothing; the next entry starts a small block again.
  q.pop_front(q.size());
  EXPECT_EQ(q.heldBytes(), 0u);
  q.push_back(9);
  EXPECT_EQ(q.heldBytes(), Q::kFirstBytes);
  EXPECT_EQ(q.front(), 9);

  // Records larger than the first room's share: a few to a first block, doubling to a whole one.
  struct Wide {
    char bytes[40];
  };
  ChunkQueue<Wide> w;
  w.push_back(Wide{});
  EXPECT_EQ(w.heldBytes(), ChunkQueue<Wide>::kFirstRoom * sizeof(Wide));
  for (size_t i = 1; i < ChunkQueue<Wide>::kPerBlock; ++i) w.push_back(Wide{});
  EXPECT_EQ(w.heldBytes(), ChunkQueue<Wide>::kPerBlock * sizeof(Wide));
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
