// The administration console's update requests: listing (112), uploading (113) and changing
// (114) the files of the manager's update store.
#pragma once
#include <cstdint>
#include <memory>

#include "clients/request.h"

namespace updates {
class UpdateStore;
class Upload;
}  // namespace updates

namespace clients {

// Lists a directory below updates (level 0): value = the path ("" or "/" for the root);
// element 1 (any value) asks for details; element 9 runs it. Reply per entry: 1 = name,
// 2 = 1 (directory) or 0 (file) with 6 = its time stamp (date value, when known) and, with
// details, 3 = status and 4 = status text; the root lists the three areas and ends with 5 = 1.
class RqUpdatesList final : public Request {
 public:
  RqUpdatesList(Client& client, adt::NioTag& element);
  bool onMessage(adt::NioTag& element) override;
  // "RqUpdatesList(<path>)".
  void describe(adt::String& out) const override;

 private:
  adt::String path_;
  bool details_ = false;
};

// Uploads a file (level 1): value = the target path below updates; elements 1 carry the bytes
// in order; element 9 puts the file in place (no reply). The upload is written into
// "<target>.uploading"; a request destroyed before element 9 (the client went away) deletes it.
class RqUpdateUpload final : public Request {
 public:
  RqUpdateUpload(Client& client, adt::NioTag& element);
  ~RqUpdateUpload() override;
  bool onMessage(adt::NioTag& element) override;
  // "RqUpdateUpload(<path>)".
  void describe(adt::String& out) const override;

 private:
  adt::String path_;
  std::unique_ptr<updates::Upload> upload_;
  uint64_t received_ = 0;
};

// Changes a file of the store (level 1): value = the path below updates; element 1 = the
// command; element 9 runs it. Commands: 0 delete, 1 mark bad, 2 unmark bad, 3 clean up the
// unpacked distributions, 4 install a manager update, 5 rescan. No reply: the connection
// closes, with the error reply when the command failed.
class RqUpdateModify final : public Request {
 public:
  static constexpr int32_t kDelete = 0;
  static constexpr int32_t kMarkBad = 1;
  static constexpr int32_t kUnmarkBad = 2;
  static constexpr int32_t kCleanUp = 3;
  static constexpr int32_t kApply = 4;
  static constexpr int32_t kRescan = 5;

  RqUpdateModify(Client& client, adt::NioTag& element);
  bool onMessage(adt::NioTag& element) override;
  // "RqUpdateModify(<path>,<command>)".
  void describe(adt::String& out) const override;

 private:
  void run(updates::UpdateStore& store);

  adt::String path_;
  int32_t command_ = -1;
};

}  // namespace clients
