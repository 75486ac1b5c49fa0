#include "http.h"

#include <algorithm>

namespace demo {

namespace {
constexpr uint32_t kLoopback = 0x7F000001;
constexpr size_t kReadPiece = 4096;
// Reads per connection and poll round, so that one busy peer cannot hold the loop.
constexpr int kReadsPerRound = 16;
// How long a closed-for-sending connection may take to close its side.
constexpr uint64_t kDrainMs = 2000;
constexpr int kBacklog = 16;
}  // namespace

// --- TcpService ---

void TcpService::addListener(platform::SocketHandle handle) {
  auto s = std::make_unique<adt::Socket>(handle);
  s->setNonBlocking(true);
  listeners_.push_back(std::move(s));
}

bool TcpService::hasListener(platform::SocketHandle handle) const {
  return std::any_of(listeners_.begin(), listeners_.end(),
                     [&](const auto& s) { return s->handle() == handle; });
}

size_t TcpService::connectionCount() const {
  return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                           [](const auto& c) { return !c->dead; }));
}

void TcpService::addPollEntries(std::vector<platform::PollEntry>& entries) {
  std::erase_if(connections_, [](const auto& c) { return c->dead; });
  for (const auto& s : listeners_) {
    platform::PollEntry e;
    e.handle = s->handle();
    e.wantRead = connections_.size() < kMaxConnections;
    entries.push_back(e);
  }
  for (const auto& c : connections_) {
    platform::PollEntry e;
    e.handle = c->socket.handle();
    e.wantRead = true;
    e.wantWrite = c->sent < c->out.size();
    entries.push_back(e);
  }
}

void TcpService::handle(const platform::PollEntry* entries, uint64_t nowMs) {
  const platform::PollEntry* connectionEntries = entries + listeners_.size();
  const size_t polled = connections_.size();  // accepts below append after these
  for (size_t i = 0; i < polled; ++i) {
    Connection& c = *connections_[i];
    if (!c.dead && connectionEntries[i].writable) write(c, nowMs);
    if (!c.dead && connectionEntries[i].readable) read(c);
  }
  for (size_t i = 0; i < listeners_.size(); ++i) {
    if (entries[i].readable) accept(*listeners_[i], nowMs);
  }
  for (auto& c : connections_) {
    if (c->deadlineMs && nowMs >= c->deadlineMs) c->dead = true;
  }
}

void TcpService::accept(adt::Socket& listener, uint64_t nowMs) {
  while (connections_.size() < kMaxConnections) {
    const platform::NetResult r = platform::socketAccept(listener.handle(), nullptr);
    if (!r.ok()) return;  // none waiting (or it left again before we took it)
    auto c = std::make_unique<Connection>();
    c->socket.attach(static_cast<platform::SocketHandle>(r.value));
    if (platform::socketSetNonBlocking(c->socket.handle(), true) != 0) continue;
    c->id = ++nextId_;
    onAccepted(*c, nowMs);
    connections_.push_back(std::move(c));
  }
}

void TcpService::read(Connection& c) {
  char piece[kReadPiece];
  for (int round = 0; round < kReadsPerRound && !c.dead; ++round) {
    const platform::NetResult r = platform::socketRecv(c.socket.handle(), piece, sizeof piece);
    if (!r.ok()) {
      if (r.error != platform::kNetWouldBlock) c.dead = true;
      return;
    }
    if (r.value == 0) {
      if (c.draining) {
        c.dead = true;
      } else {
        onInput(c, true);
      }
      return;
    }
    if (!c.draining) {
      c.in.append(piece, static_cast<size_t>(r.value));
      onInput(c, false);
    }
  }
}

void TcpService::write(Connection& c, uint64_t nowMs) {
  while (c.sent < c.out.size()) {
    const platform::NetResult r =
        platform::socketSend(c.socket.handle(), c.out.data() + c.sent, c.out.size() - c.sent);
    if (!r.ok()) {
      if (r.error != platform::kNetWouldBlock) c.dead = true;
      return;
    }
    c.sent += static_cast<size_t>(r.value);
  }
  c.out.clear();
  c.sent = 0;
  if (c.closeAfterSend && !c.draining) {
    // Close our side first and let the peer close its own, so that unread request bytes do
    // not turn the close into a reset that could cost the peer the answer.
    platform::socketShutdown(c.socket.handle(), platform::kShutSend);
    c.draining = true;
    c.deadlineMs = nowMs + kDrainMs;
  }
}

// --- HttpService ---

HttpService::HttpService(const adt::String& name, const adt::String& version, uint32_t pid) {
  const adt::String body = adt::format(
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%s</title></head>\n"
      "<body><h1>%s is running</h1><p>demo agent %s, pid %u</p></body></html>\n",
      htmlEscape(name).c_str(), htmlEscape(name).c_str(), htmlEscape(version).c_str(), pid);
  response_ = adt::format(
      "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: %zu\r\n"
      "Cache-Control: no-cache\r\nConnection: close\r\n\r\n",
      body.size());
  response_ += body;
}

void HttpService::onAccepted(Connection& c, uint64_t nowMs) {
  c.deadlineMs = nowMs + kRequestTimeoutMs;
}

void HttpService::onInput(Connection& c, bool peerClosed) {
  if (c.closeAfterSend) {  // answered already
    c.in.clear();
    return;
  }
  const bool complete = c.in.find("\r\n\r\n") != std::string::npos ||
                        c.in.find("\n\n") != std::string::npos || c.in.size() >= kMaxRequest;
  if (complete) {
    c.in.clear();
    c.out = response_;
    c.closeAfterSend = true;
    ++answered_;
  } else if (peerClosed) {
    c.dead = true;  // left before asking for anything
  }
}

// --- ClientService ---

ClientService::ClientService(const adt::String& name) : name_(name) {}

void ClientService::listen(uint16_t port) {
  adt::Socket s;
  s.create(adt::Socket::STREAM);
  s.setReuseAddress();
  s.bind(platform::hostToNet32(kLoopback), port);
  s.listen(kBacklog);
  addListener(s.release());
}

bool ClientService::drop(uint32_t id) {
  for (auto& c : connections_) {
    if (c->id == id && !c->dead) {
      c->dead = true;
      c->socket.close();
      return true;
    }
  }
  return false;
}

size_t ClientService::dropAll() {
  size_t n = 0;
  for (auto& c : connections_) {
    if (c->dead) continue;
    c->dead = true;
    c->socket.close();
    ++n;
  }
  return n;
}

void ClientService::onAccepted(Connection& c, uint64_t) {
  c.out = adt::toCp1251(adt::format("%s ready, client %u\r\n", name_.c_str(), c.id));
}

void ClientService::onInput(Connection& c, bool peerClosed) {
  c.in.clear();
  if (peerClosed) c.dead = true;
}

adt::String htmlEscape(const adt::String& text) {
  adt::String out;
  out.reserve(text.size());
  for (char ch : text) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += ch;
    }
  }
  return out;
}

}  // namespace demo
