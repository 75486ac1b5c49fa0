// The error that reaches a binary-protocol client with a numeric code: element 101 with the
// code, then element 13 with the text.
#pragma once
#include <cstdint>
#include <utility>

#include "adt/exception.h"

namespace clients {

class ClientException : public adt::Exception {
 public:
  // The codes clients act on.
  static constexpr int32_t kInsufficientPrivileges = 0x1002;
  static constexpr int32_t kUnknownAgent = 0x1010;
  static constexpr int32_t kAgentLocked = 0x1011;
  static constexpr int32_t kAgentStopped = 0x1012;
  static constexpr int32_t kProtocolViolation = 0x2001;

  ClientException(adt::String text, int32_t code) : adt::Exception(std::move(text)), code_(code) {}
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

}  // namespace clients
