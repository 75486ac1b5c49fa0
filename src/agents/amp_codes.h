// Message codes of the agent link (AMP): the datagrams exchanged with agent processes over the
// loopback interface. Only the numbers live here; encoding and decoding belong to the codec.
#pragma once
#include <cstdint>

namespace agents {

// Header: seven little-endian 32-bit words (size, magic, code, arg, value1, value2, length).
constexpr uint32_t kAmpHeaderSize = 28;
constexpr uint32_t kAmpMagic = 0x3ADE6771;

// Agent -> manager.
constexpr uint32_t kAmpStartReport = 1;  // payload: pid, start word, version, two texts
constexpr uint32_t kAmpPingAnswer = 10;
constexpr uint32_t kAmpTelemetry = 12;
constexpr uint32_t kAmpSigstop = 17;  // also the manager's answer to it

// Manager -> agent.
constexpr uint32_t kAmpTerminate = 3;  // ARQ_TERMINATE_AGENT: plain stop
constexpr uint32_t kAmpStartAck = 4;
constexpr uint32_t kAmpAgentInfo = 5;
constexpr uint32_t kAmpStoreNotice = 7;
constexpr uint32_t kAmpKillClient = 8;
constexpr uint32_t kAmpPing = 9;
constexpr uint32_t kAmpJavaInfo = 14;
constexpr uint32_t kAmpStatistics = 16;
constexpr uint32_t kAmpHttpSocket = 18;  // both ways: handed over / taken over
constexpr uint32_t kAmpSoftTerminate = 19;
constexpr uint32_t kAmpHttpsSocket = 20;  // both ways: handed over / taken over
constexpr uint32_t kAmpKillAllClients = 22;

}  // namespace agents
