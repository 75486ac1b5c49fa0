#include "adt/queue.h"

#include <gtest/gtest.h>

#include "adt/buffer.h"

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

}  // namespace
}  // namespace adt
