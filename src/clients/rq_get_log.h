// Reads the end of a file below the manager's home (command 73): the manager's logs and the
// agents' own output logs (log/<id>/<id>.out).
#pragma once
#include <cstdint>
#include <memory>

#include "adt/file.h"
#include "clients/request.h"

namespace clients {

// Element 74 names the file relative to the home; element 75 (4 bytes) the number of bytes
// wanted from its end. The bytes go out in chunks of at most kChunk bytes, each as element 3
// (its length) and element 1 (the chunk raw-deflated), only while less than kMaxQueued bytes
// wait to be sent, so that a large file never fills the manager's memory. Owned by its Client;
// main thread only.
class RqGetLog final : public Request {
 public:
  static constexpr uint8_t kTagName = 74;
  static constexpr uint8_t kTagWanted = 75;
  static constexpr uint8_t kTagChunkLength = 3;
  static constexpr uint8_t kTagChunk = 1;
  static constexpr size_t kChunk = 65536;
  static constexpr size_t kMaxQueued = 1u << 20;

  RqGetLog(Client& client, adt::NioTag& element);
  bool onMessage(adt::NioTag& element) override;
  bool poll() override;
  bool holdsConnection(uint64_t nowMs) override;
  // "RqGetLog(<name>)".
  void describe(adt::String& out) const override;

 private:
  // Sends chunks while the client's queue allows; true once everything is sent.
  bool sendChunks();

  adt::String name_;
  std::unique_ptr<adt::File> file_;
  uint64_t left_ = 0;
  bool started_ = false;
};

}  // namespace clients
