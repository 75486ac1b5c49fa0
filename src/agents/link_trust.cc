#include "agents/link_trust.h"

#include "adt/log.h"
#include "adt/text.h"
#include "agents/amp.h"
#include "platform/process.h"
#include "platform/socket_owner.h"

namespace agents {

bool LinkTrust::stopRequestTrusted(uint16_t port, uint64_t nowMs) {
  const std::vector<platform::UdpSocketInfo> sockets = platform::udpSocketsOnPort(port);
  const uint32_t self = platform::effectiveUserId();
  bool trusted = !sockets.empty();
  for (const platform::UdpSocketInfo& s : sockets) {
    if (s.uid != self) trusted = false;
  }
  if (!trusted) {
    refused(adt::format("AMP: запрос остановки AM с порта %u отклонён: сокет отправителя не "
                        "принадлежит пользователю AM",
                        port)
                .c_str(),
            nowMs);
  }
  return trusted;
}

bool LinkTrust::fromProcess(uint32_t pid, uint16_t port, uint32_t code, uint64_t nowMs) {
  const uint64_t key = static_cast<uint64_t>(pid) << 16 | port;
  if (code != amp::kStartReport) {
    const auto it = verified_.find(key);
    if (it != verified_.end() && nowMs - it->second < kRecheckMs) return true;
  }
  if (platform::processOwnsUdpPort(pid, port)) {
    if (verified_.size() >= kMaxRemembered) {
      for (auto it = verified_.begin(); it != verified_.end();) {
        it = nowMs - it->second >= kRecheckMs ? verified_.erase(it) : std::next(it);
      }
      if (verified_.size() >= kMaxRemembered) verified_.clear();
    }
    verified_[key] = nowMs;
    return true;
  }
  verified_.erase(key);
  refused(adt::format("AMP: сообщение %u с порта %u отклонено: сокет отправителя не "
                      "принадлежит процессу агента (pid:%u)",
                      code, port, pid)
              .c_str(),
          nowMs);
  return false;
}

void LinkTrust::refused(const char* what, uint64_t nowMs) {
  ++refusals_;
  if (nowMs - windowStart_ >= 1000 || windowStart_ == 0) {
    windowStart_ = nowMs == 0 ? 1 : nowMs;
    linesInWindow_ = 0;
  }
  if (linesInWindow_ >= kRefusalLinesPerSecond) {
    ++suppressed_;
    return;
  }
  ++linesInWindow_;
  adt::String line = what;
  if (suppressed_ > 0) {
    line += adt::format(" (ещё %llu отклонено без записи в лог)",
                        static_cast<unsigned long long>(suppressed_));
    suppressed_ = 0;
  }
  adt::log(adt::LOG_WARN, line);
}

}  // namespace agents
