#include "clients/rq_admin.h"

#include <cstring>
#include <limits>
#include <vector>

#include "adt/exception.h"
#include "adt/file.h"
#include "adt/tagged_format.h"
#include "adt/tagged_reader.h"
#include "adt/tagged_writer.h"
#include "agents/agent.h"
#include "agents/amp.h"
#include "clients/admin_host.h"
#include "clients/agent_request.h"
#include "clients/client.h"
#include "clients/client_host.h"
#include "clients/log_access.h"

namespace clients {
namespace {

constexpr uint8_t kTagFile = 1;
constexpr uint8_t kTagStamp = 2;
constexpr uint8_t kTagCatalogue = 4;

uint32_t readStamp(adt::NioTag& element) {
  if (element.size() != 4) adt::tagged::throwInvalidTag(kTagStamp, element.tag());
  return static_cast<uint32_t>(element.readInt());
}

void writeDouble(adt::TaggedWriter& out, uint8_t tag, double value) {
  out.writeTag(tag, &value, sizeof value);
}

uint32_t clampSize(uint64_t n) {
  return n > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                  : static_cast<uint32_t>(n);
}

// The 32-bit and 64-bit slots of a telemetry group, in order, and what fills them: the
// sample's integers (sub-tags 2, 4, 6, 7, 9, 10, 11, 13, 15, then the nested block's 1, 2, 4,
// 5) and its wide values (sub-tags 3, 5, 14, 16, 17, 20, then the collection time).
constexpr uint8_t kWordSlots[13] = {2, 3, 6, 8, 9, 10, 11, 12, 14, 16, 17, 18, 20};
constexpr uint8_t kWideSlots[7] = {4, 5, 7, 13, 15, 19, 21};

void writeTelemetrySample(double time, const agents::amp::PerformanceSample& s,
                          adt::TaggedWriter& out) {
  writeDouble(out, 1, time);
  for (size_t i = 0; i < 13; ++i) {
    const uint32_t v = i < 9 ? s.words[i] : s.nested[i - 9];
    out.writeInt(kWordSlots[i], static_cast<int32_t>(v));
  }
  for (size_t i = 0; i < 7; ++i) {
    if (i < 6) {
      out.writeInt64(kWideSlots[i], static_cast<int64_t>(s.wides[i]));
    } else {
      writeDouble(out, kWideSlots[i], s.gcDays);
    }
  }
}

}  // namespace

AdminHost& adminOf(Client& client) {
  AdminHost* admin = client.host().administration();
  if (!admin) throw adt::Exception("Администрирование этого менеджера недоступно");
  return *admin;
}

// --- 39 ---

RqGetSettings::RqGetSettings(Client& client, adt::NioTag&) : Request(client) {}

bool RqGetSettings::onMessage(adt::NioTag& element) {
  if (element.tag() == kTagFile) {
    name_ = element.readString();
    return false;
  }
  if (element.tag() != kTagEnd) adt::tagged::throwInvalidTag(kTagEnd, element.tag());
  std::string text;
  uint32_t stamp = 0;
  std::vector<adt::String> catalogue;
  adminOf(client()).getSettings(name_, &text, stamp, &catalogue);
  adt::MemoryTaggedWriter out;
  out.writeTag(kTagFile, text.data(), text.size());
  out.writeInt(kTagStamp, static_cast<int32_t>(stamp));
  adt::MemoryTaggedWriter keys;
  for (const adt::String& key : catalogue) keys.writeString(1, key);
  out.writeNested(kTagCatalogue, keys);
  client().send(out);
  return true;
}

void RqGetSettings::describe(adt::String& out) const { out += "RqGetSettings(" + name_ + ")"; }

// --- 40 ---

RqSetSettings::RqSetSettings(Client& client, adt::NioTag& element) : Request(client) {
  adt::Bytes value;
  element.readBytes(value);
  text_.assign(value.begin(), value.end());
}

bool RqSetSettings::onMessage(adt::NioTag& element) {
  switch (element.tag()) {
    case kTagFile:
      name_ = element.readString();
      return false;
    case kTagStamp:
      stamp_ = readStamp(element);
      haveStamp_ = true;
      return false;
    case kTagEnd:
      break;
    default:
      adt::tagged::throwInvalidTag(kTagEnd, element.tag());
  }
  // Without the stamp it was based on, a text could overwrite an edit it never saw.
  if (!haveStamp_) adt::tagged::throwInvalidTag(kTagStamp, element.tag());
  uint32_t stamp = stamp_;
  adminOf(client()).serverReconfigure(name_, text_, stamp);
  adt::MemoryTaggedWriter out;
  out.writeInt(kTagStamp, static_cast<int32_t>(stamp));
  client().send(out);
  return true;
}

void RqSetSettings::describe(adt::String& out) const { out += "RqSetSettings(" + name_ + ")"; }

// --- 95 ---

RqAMStatistics::RqAMStatistics(Client& client, adt::NioTag&) : Request(client) {}

bool RqAMStatistics::onMessage(adt::NioTag& element) {
  if (element.tag() != adt::tagged::kBlobTag) {
    adt::tagged::throwInvalidTag(adt::tagged::kBlobTag, element.tag());
  }
  adt::Bytes window;
  element.readBytes(window);
  double from = 0, to = 0;
  adt::TaggedBufferReader in(window);
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
    if (tag == 1 || tag == 2) {
      double value = 0;
      in.read(tag, &value, sizeof value);
      (tag == 1 ? from : to) = value;
    }
  }
  adt::MemoryTaggedWriter out;
  for (const ManagerSample& s : adminOf(client()).managerSamples(from, to)) {
    writeDouble(out, 1, s.time);
    out.writeInt(22, s.memoryPercent);
    out.writeInt64(20, static_cast<int64_t>(s.usedBytes));
    out.writeInt64(21, static_cast<int64_t>(s.totalBytes));
  }
  if (!out.isEmpty()) client().send(out);
  return true;
}

void RqAMStatistics::describe(adt::String& out) const { out += "RqAMStatistics"; }

// --- 124 ---

RqAgentTelemetry::RqAgentTelemetry(Client& client, adt::NioTag& element) : Request(client) {
  adt::Bytes value;
  element.readBytes(value);
  adt::String id, name;
  int32_t workerId = 0;
  adt::TaggedBufferReader in(value);
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
    if (tag == kTagAgentId) {
      id = in.readString();
    } else if (tag == kTagAgentName) {
      name = in.readString();
    } else if (tag == kTagWorkerId) {
      adt::Bytes raw;
      in.readBytes(raw);
      if (raw.size() == 4 || raw.size() == 8) {
        int64_t v = 0;
        std::memcpy(&v, raw.data(), raw.size());
        workerId = static_cast<int32_t>(v);
      }
    }
  }
  const agents::Agent& agent = findAgent(client.host(), id, name, workerId);
  // Without a login the same addresses as for the agents list may ask.
  const uint32_t address = clientAddress(client);
  if (!client.loggedIn() &&
      (!client.host().settings().masks.admits(address) || !agent.conf.masks.admits(address))) {
    throw adt::Exception("Неизвестное имя агента \"" + (id.empty() ? name : id) + "\"");
  }
  agent_ = &agent;
}

bool RqAgentTelemetry::poll() {
  if (!stillListed(client().host(), agent_)) return true;  // the record went meanwhile
  const auto& raw = agent_->samples.raw();
  // The history drops its oldest entries as new ones come: continue after the last time sent.
  if (next_ > raw.size()) next_ = raw.size();
  while (next_ > 0 && raw[next_ - 1].time > lastTime_) --next_;
  while (next_ < raw.size() && client().queuedOutput() < kMaxQueued) {
    adt::MemoryTaggedWriter out;
    for (size_t n = 0; n < kPerPart && next_ < raw.size(); ++n, ++next_) {
      const agents::RawSample& s = raw[next_];
      if (s.time <= lastTime_) continue;
      try {
        writeTelemetrySample(s.time,
                             agents::amp::decodePerformanceSample(s.raw.data(), s.raw.size()), out);
      } catch (const std::exception&) {
        continue;  // a sample the agent sent malformed is not one
      }
      lastTime_ = s.time;
    }
    if (!out.isEmpty()) client().send(out);
  }
  return next_ >= raw.size();
}

bool RqAgentTelemetry::holdsConnection(uint64_t) { return true; }

void RqAgentTelemetry::describe(adt::String& out) const {
  out += "RqAgentTelemetry(" + std::to_string(next_) + ")";
}

// --- handlers ---

void logFiles(Client& client, adt::NioTag& element) {
  const adt::String agentName = element.readString();
  AdminHost& admin = adminOf(client);
  std::string directory;
  adt::String prefix;
  if (agentName.empty()) {
    directory = admin.logDirectory();
    prefix = admin.logPrefix();
  } else {
    const agents::Agent& agent = findAgent(client.host(), "", agentName, 0);
    const agents::AgentProcess* p = agent.process();
    if (p && p->link && !p->link->text2.empty() && p->link->text2.front() == '/') {
      const std::string& file = p->link->text2;
      const size_t slash = file.find_last_of('/');
      directory = adt::longPath(slash == 0 ? "/" : file.substr(0, slash));
      prefix = file.substr(slash + 1);
      const size_t dot = prefix.find_last_of('.');
      if (dot != std::string::npos && dot > 0) prefix.resize(dot);
    } else if (agent.conf.cmd.empty()) {
      directory = admin.logDirectory();
      prefix = agent.conf.id;
    } else {
      return;  // nothing to list
    }
  }
  // Only where the log requests may read.
  bool allowed = false;
  for (const std::string& dir : allowedLogDirectories(client.host())) {
    allowed = allowed || insideDirectory(directory, dir);
  }
  if (!allowed) return;
  adt::MemoryTaggedWriter out;
  for (const LogFileEntry& e : listLogFiles(directory, prefix)) {
    out.writeString(1, e.name);
    out.writeInt(2, static_cast<int32_t>(clampSize(e.size)));
    out.writeInt(3, static_cast<int32_t>(clampSize(e.size / 1024)));
  }
  if (!out.isEmpty()) client.send(out);
}

void managerLock(Client& client, adt::NioTag& element) {
  if (element.size() != 4) adt::tagged::throwInvalidTag(element.tag(), element.tag());
  const bool on = element.readInt() != 0;
  adminOf(client).lockManager(on, clientSocketAddress(client).address);
  adt::MemoryTaggedWriter out;
  out.writeTag(kTagDone, nullptr, 0);
  client.send(out);
}

void agentsMessage(Client& client, adt::NioTag& element) {
  adt::Bytes message;
  element.readBytes(message);
  adminOf(client).messageAllAgents(message);
}

void consoleCommand(Client& client, adt::NioTag& element) {
  const adt::String command = element.readString();
  adt::String text;
  adminOf(client).consoleCommand(command, text);
  adt::MemoryTaggedWriter out;
  out.writeString(1, text);
  client.send(out);
}

}  // namespace clients
