// Machine faults and the call stack of another thread (platform/fault.h, platform/thread.h).
#include "platform/fault.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "adt/log.h"
#include "adt/thread.h"
#include "child.h"
#include "platform/clock.h"
#include "platform/self.h"
#include "platform/thread.h"

// Named outside the anonymous namespace so that their symbols show in captured call stacks.
namespace am_fault_test {

std::atomic<bool> g_parked{false};
std::atomic<bool> g_unpark{false};

__attribute__((noinline)) void parkedFunctionForStackTest() {
  g_parked = true;
  while (!g_unpark.load()) platform::sleepMs(5);
}

std::atomic<bool> g_stopRecursion{false};

__attribute__((noinline)) int recurseForever(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (g_stopRecursion.load()) return 0;
  return recurseForever(depth + 1) + frame[0];
}

__attribute__((noinline)) void writeTo(uintptr_t address) {
  *reinterpret_cast<volatile int*>(address) = 1;
}

// The processor's own fault, not the undefined-behaviour check a sanitized build puts before it.
__attribute__((noinline, no_sanitize("undefined"))) int divide(int a, int b) {
  volatile int divisor = b;
  return a / divisor;
}

__attribute__((noinline)) int readFrom(uintptr_t address) {
  return *reinterpret_cast<volatile int*>(address);
}

void printFault(const platform::FaultInfo& fault) {
  std::fprintf(stderr, "FAULT[%s] frames:%d\n", fault.name, fault.stack.count);
}

}  // namespace am_fault_test

namespace adt {
namespace {

using testsupport::readFile;
using testsupport::waitUntil;

class FaultingWorker : public Thread {
 public:
  FaultingWorker() {
    setType(5);
    setOp(6);
  }
  ~FaultingWorker() override {
    stop();
    join();
  }

 protected:
  void run() override {
    volatile uintptr_t address = 0x10;
    am_fault_test::writeTo(address);
  }
};

TEST(ThreadStack, CapturesAnotherThreadsCallStack) {
  am_fault_test::g_parked = false;
  am_fault_test::g_unpark = false;
  std::atomic<uint32_t> tid{0};
  std::thread t([&] {
    tid = platform::currentThreadId();
    am_fault_test::parkedFunctionForStackTest();
  });
  ASSERT_TRUE(waitUntil([] { return am_fault_test::g_parked.load(); }));
  platform::StackTrace stack;
  const bool ok = platform::captureThreadStack(tid.load(), stack, 5000);
  am_fault_test::g_unpark = true;
  t.join();
  ASSERT_TRUE(ok);
  EXPECT_NE(stackText(stack, "", "\n").find("parkedFunctionForStackTest"), std::string::npos)
      << stackText(stack, "", "\n");
  // A thread that is gone gives nothing (and no wait).
  EXPECT_FALSE(platform::captureThreadStack(tid.load(), stack, 5000));
}

// --- Machine faults ------------------------------------------------------------------------

TEST(Faults, AreNamedAndEndTheProcessWithExitCodeOne) {
  using namespace am_fault_test;
  EXPECT_EXIT(
      {
        platform::installFaultHandlers(printFault);
        volatile uintptr_t address = 0x10;
        writeTo(address);
      },
      ::testing::ExitedWithCode(1),
      "FAULT\\[Access Violation\\(write of address 0x00000010\\)\\] frames:[1-9]");
  EXPECT_EXIT(
      {
        platform::installFaultHandlers(printFault);
        volatile uintptr_t address = 0x20;
        readFrom(address);
      },
      ::testing::ExitedWithCode(1), "FAULT\\[Access Violation\\(read of address 0x00000020\\)\\]");
  EXPECT_EXIT(
      {
        platform::installFaultHandlers(printFault);
        volatile int r = divide(10, 0);
        (void)r;
      },
      ::testing::ExitedWithCode(1), "FAULT\\[Divide by zero \\(int\\)\\]");
  EXPECT_EXIT(
      {
        platform::installFaultHandlers(printFault);
        recurseForever(0);
      },
      ::testing::ExitedWithCode(1), "FAULT\\[Stack overflow\\]");
  // A fault inside the report itself still ends the process with exit code 1.
  EXPECT_EXIT(
      {
        platform::installFaultHandlers([](const platform::FaultInfo&) {
          volatile uintptr_t address = 0x30;
          writeTo(address);
        });
        volatile uintptr_t address = 0x10;
        writeTo(address);
      },
      ::testing::ExitedWithCode(1), "");
#if defined(__x86_64__)
  EXPECT_EXIT(
      {
        platform::installFaultHandlers(printFault);
        __builtin_trap();
      },
      ::testing::ExitedWithCode(1), "FAULT\\[EXCEPTION_ILLEGAL_INSTRUCTION\\]");
#endif
}

TEST(Faults, OnAWorkerAreLoggedWithItsDescription) {
  const testsupport::TempDir dir;
  setLogBase(dir.file("am"));
  EXPECT_EXIT(
      {
        platform::installFaultHandlers([](const platform::FaultInfo& f) {
          if (!Thread::reportFault(f.name, f.stack)) std::fprintf(stderr, "not a worker\n");
        });
        FaultingWorker w;
        w.start();
        for (;;) platform::sleepMs(100);  // the fault ends the process
      },
      ::testing::ExitedWithCode(1), "");
  setLogBase("");
  const std::string err = readFile(dir.file("am.err"));
  EXPECT_NE(err.find("] ERR thread terminated by system exception\r\n"
                     "Access Violation(write of address 0x00000010)\r\n\tat "),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("writeTo"), std::string::npos) << err;
  EXPECT_NE(err.find(" type: 5 op: 6\r\n"), std::string::npos) << err;
}

}  // namespace
}  // namespace adt
