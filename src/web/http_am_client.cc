#include "web/http_am_client.h"

#include <cstring>
#include <exception>
#include <memory>

#include "adt/buffer.h"
#include "adt/file.h"
#include "adt/log.h"
#include "platform/file.h"
#include "platform/net.h"
#include "web/agent_list.h"
#include "web/resources.h"

namespace web {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void queue(adt::ClientChannel& channel, std::string_view bytes) {
  channel.send(new adt::CopyBuffer(bytes.data(), bytes.size()));
}

}  // namespace

adt::String decodePath(std::string_view path) {
  adt::String out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size()) {
      const int hi = hexValue(path[i + 1]);
      const int lo = hexValue(path[i + 2]);
      if (hi >= 0 && lo >= 0 && (hi | lo) != 0) {
        out += static_cast<char>(hi << 4 | lo);
        i += 2;
        continue;
      }
    }
    out += path[i];
  }
  return out;
}

HttpAMClient::HttpAMClient(WebHost& host, adt::SocketHandle handle)
    : host_(host), socket_(handle), acceptedAt_(host.clock().nowMs()) {}

HttpAMClient::~HttpAMClient() = default;

void HttpAMClient::describe(adt::String& out) const { out += kClassName; }

bool HttpAMClient::checkTime() {
  if (state() == adt::ChannelState::Closed) return true;
  const uint64_t now = host_.clock().nowMs();
  const bool late =
      answered_ ? now - lastProgress_ >= kIdleLimitMs : now - acceptedAt_ >= kRequestLimitMs;
  if (!late) return false;
  adt::LogLine(adt::LOG_DBG, adt::debugEnabled())
      << kClassName << "[" << socket_.handle()
      << "] dropped: " << (answered_ ? "the answer is not taken" : "no request line");
  setState(adt::ChannelState::Closed);
  return true;
}

void HttpAMClient::onIdle() { checkTime(); }

bool HttpAMClient::wantsWrite() {
  if (checkTime()) return false;
  return ClientChannel::wantsWrite();
}

void HttpAMClient::onSent(size_t) { lastProgress_ = host_.clock().nowMs(); }

void HttpAMClient::onData(adt::Buffer* block) {
  std::unique_ptr<adt::Buffer> owned(block);
  if (answered_ || checkTime()) return;
  const char* begin = reinterpret_cast<const char*>(block->begin());
  const size_t n = block->size();
  const void* lf = std::memchr(begin, '\n', n);
  const size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - begin) : n;
  if (line_.size() + take > kMaxRequestLine) {
    line_.clear();
    answered_ = true;
    lastProgress_ = host_.clock().nowMs();
    sendStatus(414, "URI Too Long");
    close();
    return;
  }
  line_.append(begin, take);
  if (!lf) return;  // bytes after the LF (headers, body) are of no interest
  const adt::String line = std::move(line_);
  line_.clear();
  handleLine(line);
}

void HttpAMClient::handleLine(std::string_view line) {
  answered_ = true;
  lastProgress_ = host_.clock().nowMs();
  try {
    answer(line);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    // Nothing has been queued yet: every answer is queued in one go at its end.
    adt::LogLine(adt::LOG_WARN) << kClassName << ": " << line << ": " << e.what();
    sendStatus(500, "Internal Server Error");
  }
  close();
}

void HttpAMClient::answer(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // HTTP/0.9: no version
  adt::LogLine(adt::LOG_DBG, adt::debugEnabled())
      << kClassName << "[" << socket_.handle() << "] " << line;

  const size_t space = line.find(' ');
  if (line.substr(0, space) != "GET") {
    sendStatus(405, "Method not allowed");
    return;
  }
  std::string_view target = space == std::string_view::npos ? "" : line.substr(space + 1);
  target = target.substr(0, target.find(' '));
  const adt::String path = decodePath(target);

  // The query (a scraper may add one) selects nothing.
  if (path == "/metrics" || path.starts_with("/metrics?")) {
    serveMetrics();
    return;
  }
  if (path.starts_with("/list")) {
    serveList(std::string_view(path).substr(5));
    return;
  }
  const adt::String rest = !path.empty() && path.front() == '/' ? path.substr(1) : path;
  if (rest.starts_with("icons/")) {
    serveIcon(rest);
  } else {
    serveResource(rest);
  }
}

void HttpAMClient::serveList(std::string_view rest) {
  uint32_t address = 0;
  if (!peerAddress(address)) {
    setState(adt::ChannelState::Closed);  // the peer is gone: nobody to answer
    return;
  }
  const adt::String body =
      agentListJson(host_.agents(), parseListFilter(rest), address, host_.settings().welcome);
  sendSuccess(body, "application/json;charset=UTF-8");
}

void HttpAMClient::serveMetrics() {
  uint32_t address = 0;
  if (!peerAddress(address)) {
    setState(adt::ChannelState::Closed);
    return;
  }
  if (!host_.settings().masks.admits(address)) {
    adt::LogLine(adt::LOG_DBG, adt::debugEnabled())
        << kClassName << "[" << socket_.handle() << "] metrics refused by the address filter";
    sendStatus(403, "Forbidden");
    return;
  }
  MetricsText metrics;
  if (!host_.writeMetrics(address, metrics)) {
    sendStatus(404, "Not found");
    return;
  }
  sendSuccess(metrics.text(), kMetricsContentType);
}

void HttpAMClient::serveIcon(const adt::String& path) {
  // Only the icons folder is served: the home directory beside it holds the settings file
  // and the password store.
  const adt::String home = host_.homeDirectory();
  const adt::String root = adt::longPath(home + "/icons");
  const adt::String file = adt::longPath(home + "/" + path);
  if (file != root && !file.starts_with(root + "/")) {
    sendStatus(403, "Absolute paths forbidden");
    return;
  }
  if (file == root || !platform::pathExists(file) || platform::isDirectory(file)) {
    serveResource(path);
    return;
  }
  // The text check above does not see symbolic links: the file served is the one the link
  // leads to, and that must lie inside the icons folder too.
  std::string realRoot, realFile;
  if (!platform::resolvedPath(root, realRoot) || !platform::resolvedPath(file, realFile) ||
      !realFile.starts_with(realRoot + "/")) {
    adt::log(adt::LOG_WARN, "HttpAMClient: icon outside the icons folder refused: " +
                                adt::clip(path));
    sendStatus(403, "Absolute paths forbidden");
    return;
  }
  const platform::FileHandle h = platform::openFileNoFollow(realFile);
  if (h == platform::kNoFile) {
    sendStatus(403, "Absolute paths forbidden");
    return;
  }
  adt::File icon;
  icon.adopt(h, realFile);
  if (icon.size() > kMaxIconBytes) {
    adt::log(adt::LOG_WARN, "HttpAMClient: icon larger than " + std::to_string(kMaxIconBytes) +
                                " bytes refused: " + realFile);
    sendStatus(404, "Not found");
    return;
  }
  std::string bytes(static_cast<size_t>(icon.size()), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const size_t n = icon.read(bytes.data() + got, bytes.size() - got);
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);
  sendSuccess(bytes, nullptr);
}

void HttpAMClient::serveResource(std::string_view path) {
  const Resource* resource = findResource(resourceName(path));
  if (!resource) {
    sendStatus(404, "Not found");
    return;
  }
  sendSuccess(resource->bytes(), nullptr);
}

void HttpAMClient::sendStatus(int code, const char* text) {
  queue(*this, adt::format("HTTP/1.1 %d %s\r\n", code, text));
}

void HttpAMClient::sendSuccess(std::string_view body, const char* contentType) {
  const uint32_t v = host_.programVersion();
  adt::String head =
      "HTTP/1.1 200 OK\r\n"
      "X-UA-Compatible: IE=edge,chrome=1\r\n"
      "Cache-Control: no-cache\r\n";
  // The list is built from the UTF-8 text the manager holds, and the page reads it as such.
  if (contentType) head += adt::String("Content-Type: ") + contentType + "\r\n";
  head += adt::format("Server: AM v%u.%u.%u\r\n\r\n", v >> 24, v >> 16 & 0xFF, v & 0xFFFF);
  queue(*this, head);
  if (!body.empty()) queue(*this, body);
}

bool HttpAMClient::peerAddress(uint32_t& address) const {
  platform::Endpoint peer;
  if (platform::socketPeerName(socket_.handle(), &peer) != 0) return false;
  address = platform::netToHost32(peer.address);
  return true;
}

}  // namespace web
