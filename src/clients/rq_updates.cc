#include "clients/rq_updates.h"

#include <vector>

#include "adt/exception.h"
#include "adt/log.h"
#include "adt/tagged_format.h"
#include "adt/tagged_writer.h"
#include "clients/client.h"
#include "clients/client_host.h"
#include "clients/rq_login_to_agent.h"
#include "updates/update_store.h"
#include "updates/upload.h"

namespace clients {
namespace {

constexpr uint8_t kTagName = 1;
constexpr uint8_t kTagDetails = 1;
constexpr uint8_t kTagData = 1;
constexpr uint8_t kTagCommand = 1;
constexpr uint8_t kTagKind = 2;
constexpr uint8_t kTagStatus = 3;
constexpr uint8_t kTagStatusText = 4;
constexpr uint8_t kTagRootEnd = 5;
constexpr uint8_t kTagModified = 6;
constexpr uint8_t kTagRun = 9;

updates::UpdateStore& storeOf(Client& client) {
  updates::UpdateStore* store = client.host().updateStore();
  if (!store) throw adt::Exception("Хранилище обновлений недоступно");
  return *store;
}

void writeEntry(adt::MemoryTaggedWriter& reply, const updates::ListEntry& entry) {
  reply.writeString(kTagName, entry.name);
  reply.writeByte(kTagKind, entry.directory ? 1 : 0);
  if (!entry.directory && entry.modified != 0) {
    const double value = entry.modified;
    reply.writeTag(kTagModified, &value, sizeof value);
  }
  if (entry.status != updates::ListEntry::kNoStatus) {
    reply.writeByte(kTagStatus, static_cast<uint8_t>(entry.status));
    if (!entry.statusText.empty()) reply.writeString(kTagStatusText, entry.statusText);
  }
}

}  // namespace

// ---- RqUpdatesList ----

RqUpdatesList::RqUpdatesList(Client& client, adt::NioTag& element)
    : Request(client), path_(element.readString()) {}

bool RqUpdatesList::onMessage(adt::NioTag& element) {
  if (element.tag() == kTagDetails) {
    details_ = true;
    return false;
  }
  if (element.tag() != kTagRun) adt::tagged::throwInvalidTag(kTagRun, element.tag());
  updates::UpdateStore& store = storeOf(client());
  const bool root = updates::UpdateStore::isRoot(path_);
  const std::vector<updates::ListEntry> entries = store.list(path_, details_);
  adt::MemoryTaggedWriter reply;
  for (const updates::ListEntry& entry : entries) writeEntry(reply, entry);
  if (root) reply.writeByte(kTagRootEnd, 1);
  client().send(reply);
  return true;
}

void RqUpdatesList::describe(adt::String& out) const { out += "RqUpdatesList(" + adt::clip(path_) + ")"; }

// ---- RqUpdateUpload ----

RqUpdateUpload::RqUpdateUpload(Client& client, adt::NioTag& element)
    : Request(client), path_(element.readString()) {}

// The Upload deletes its temporary file unless it was finished.
RqUpdateUpload::~RqUpdateUpload() = default;

bool RqUpdateUpload::onMessage(adt::NioTag& element) {
  const uint8_t tag = element.tag();
  if (tag != kTagData && tag != kTagRun) adt::tagged::throwInvalidTag(kTagRun, tag);
  // Opened on the first element rather than in the constructor: the privilege check runs
  // between the two, and a refused client must not leave a file behind.
  if (!upload_) upload_ = storeOf(client()).beginUpload(path_);
  if (tag == kTagData) {
    adt::Bytes bytes;
    element.readBytes(bytes);
    if (!bytes.empty()) upload_->write(bytes.data(), bytes.size());
    received_ += bytes.size();
    return false;
  }
  upload_->finish();
  adt::log(adt::LOG_INFO, "uploaded " + upload_->target() + " (" + std::to_string(received_) +
                              " bytes) by " + client().userName());
  upload_.reset();
  return true;
}

void RqUpdateUpload::describe(adt::String& out) const { out += "RqUpdateUpload(" + adt::clip(path_) + ")"; }

// ---- RqUpdateModify ----

RqUpdateModify::RqUpdateModify(Client& client, adt::NioTag& element)
    : Request(client), path_(element.readString()) {}

bool RqUpdateModify::onMessage(adt::NioTag& element) {
  if (element.tag() == kTagCommand) {
    command_ = element.readInt();
    return false;
  }
  if (element.tag() != kTagRun) adt::tagged::throwInvalidTag(kTagRun, element.tag());
  run(storeOf(client()));
  return true;
}

void RqUpdateModify::run(updates::UpdateStore& store) {
  switch (command_) {
    case kDelete:
      store.remove(path_);
      break;
    case kMarkBad:
      store.markBad(path_);
      break;
    case kUnmarkBad:
      store.unmarkBad(path_);
      break;
    case kCleanUp:
      store.cleanUp();
      break;
    case kApply:
      store.applyManagerUpdate(path_, client().host().programVersion(),
                               RqLoginToAgent::kDefaultClientVersion);
      {
        // The files are in place and the old program is kept as its backup; the restart
        // brings the new one up. Without it the client must not read the update as done.
        adt::String why;
        if (!client().host().restartManager(why)) {
          adt::log(adt::LOG_WARN, "manager update " + path_ + " installed; restart: " + why);
          throw adt::Exception("Обновление \"" + path_ +
                               "\" установлено, но менеджер не "
                               "перезапущен: " +
                               why);
        }
      }
      break;
    case kRescan:
      store.rescan();
      break;
    default:
      throw adt::Exception("unsupported command: " + std::to_string(command_));
  }
}

void RqUpdateModify::describe(adt::String& out) const {
  out += "RqUpdateModify(" + adt::clip(path_) + "," + std::to_string(command_) + ")";
}

}  // namespace clients
