#include "clients/client.h"

#include <atomic>
#include <exception>
#include <utility>

#include "adt/buffer.h"
#include "adt/counters.h"
#include "adt/exception.h"
#include "adt/log.h"
#include "adt/tagged_format.h"
#include "clients/admin_host.h"
#include "clients/agent_request.h"
#include "clients/client_exception.h"
#include "clients/client_host.h"
#include "clients/request.h"
#include "clients/rq_login.h"
#include "platform/net.h"

namespace clients {
namespace {

constexpr uint8_t kTagVersion = 7;
constexpr uint8_t kTagRevision = 78;
constexpr uint8_t kTagErrorCode = 101;
constexpr uint8_t kTagErrorText = 13;

// Process-wide, for log lines: the first client is number 1.
std::atomic<uint32_t> g_clientCount{0};

}  // namespace

Client::Client(ClientHost& host, adt::SocketHandle handle)
    : host_(host), socket_(handle), number_(++g_clientCount), lastActivity_(host.clock().nowMs()) {
  host_.recordOperation("clientConnect");
  if (adt::debugEnabled()) {
    adt::LogLine(adt::LOG_DBG) << "Подключается клиент(" << number_ << ") [" << peerAddress()
                               << "]";
  }
  adt::MemoryTaggedWriter greeting;
  greeting.writeStreamSignature();
  greeting.writeInt(kTagVersion, kProtocolVersion);
  greeting.writeInt(kTagRevision, kRevision);
  send(greeting);
  // Last, so that only a constructed connection (one the destructor will see) is counted.
  ++adt::managerCounters().clientConnections;
}

Client::~Client() {
  adt::LogLine(adt::LOG_DBG, adt::debugEnabled()) << "Отключается клиент(" << number_ << ")";
  request_.reset();
  login_.reset();
  --adt::managerCounters().clientConnections;
}

void Client::send(adt::MemoryTaggedWriter& writer) {
  const size_t size = writer.size();
  const uint8_t* data = writer.data();
  ClientChannel::send(new adt::CopyBuffer(data, size));
  queuedOutput_ += size;
}

void Client::checkPrivilege(int32_t level) const {
  if (loggedIn_ && level_ >= level) return;
  throw ClientException("Привилегий недостаточно", ClientException::kInsufficientPrivileges);
}

void Client::startRequest(std::unique_ptr<Request> request) {
  request_ = std::move(request);
  tick();
}

void Client::runHandler(const CommandHandler& handler, adt::NioTag& element) {
  handler(*this, element);
  close();  // only an open connection changes: one that is closing already stays so
}

const adt::String& Client::peerAddress() const {
  if (peerAddress_.empty()) {
    platform::Endpoint peer;
    if (platform::socketPeerName(socket_.handle(), &peer) != 0) {
      static const adt::String kUnknown = "?";
      return kUnknown;  // the peer is gone; try again next time
    }
    const uint32_t a = platform::netToHost32(peer.address);
    peerAddress_ = adt::format("%u.%u.%u.%u", a >> 24, a >> 16 & 0xFF, a >> 8 & 0xFF, a & 0xFF);
  }
  return peerAddress_;
}

void Client::clientError(const adt::String& text) {
  host_.recordOperation("clientError");
  if (adt::debugEnabled()) {
    adt::LogLine(adt::LOG_WARN) << "Клиент(" << number_ << "): " << text;
  } else {
    adt::LogLine(adt::LOG_WARN) << "Клиент[" << peerAddress() << "]: " << text;
  }
}

void Client::describe(adt::String& out) const {
  const uint64_t now = host_.clock().nowMs();
  out +=
      adt::format("client(%u,ip:%s,s:%d,bs:%zu,it:%llu)", number_, peerAddress().c_str(),
                  protocolState_, queuedOutput_,
                  static_cast<unsigned long long>(now > lastActivity_ ? now - lastActivity_ : 0));
  if (login_) login_->describe(out);
  if (request_) request_->describe(out);
}

void Client::tick() {
  if (state() != adt::ChannelState::Open) return;
  if (request_) {
    guarded([this] {
      if (request_->poll()) close();
    });
    if (state() != adt::ChannelState::Open) return;
  }
  const uint64_t now = host_.clock().nowMs();
  if (login_ && login_->waiting()) {
    // A proof held back by the login brake: checked or answered once its wait is over.
    guarded([&] {
      if (login_->poll(now)) finishLogin();
    });
    if (state() != adt::ChannelState::Open) return;
  }
  const uint64_t idle = now > lastActivity_ ? now - lastActivity_ : 0;
  if (idle <= kIdleLimitMs) return;
  if (idle < kHeldIdleLimitMs && request_ && request_->holdsConnection(now)) return;
  // The login brake's waits are bounded; the client is silent because it waits for the answer.
  if (idle < kHeldIdleLimitMs && login_ && login_->waiting()) return;
  adt::String text = "состояние(";
  if (login_) login_->describe(text);
  if (request_) request_->describe(text);
  text +=
      adt::format("), неактивен более %llu мс, отключаю...", static_cast<unsigned long long>(idle));
  clientError(text);
  setState(adt::ChannelState::Closed);
}

void Client::finishLogin() {
  clientRevision_ = login_->clientRevision();
  login_.reset();
}

void Client::setLoggedIn(const adt::String& name, int32_t level) {
  loggedIn_ = true;
  userName_ = name;
  level_ = level;
}

void Client::onData(adt::Buffer* block) {
  lastActivity_ = host_.clock().nowMs();
  receivedBytes_ += block->size();
  input_.append(block);
  processInput();
  tick();
}

void Client::onSent(size_t n) {
  queuedOutput_ -= n < queuedOutput_ ? n : queuedOutput_;
  lastActivity_ = host_.clock().nowMs();
}

void Client::processInput() {
  while (state() == adt::ChannelState::Open) {
    adt::NioTag* element = nullptr;
    // A malformed header or an oversized announcement ends this connection like any other
    // reader error; what follows it in the input is never parsed.
    guarded([&] {
      input_.setMaxElementSize(loggedIn_ ? kMaxElement : kMaxElementBeforeLogin);
      element = input_.next();
    });
    if (!element) return;
    executeRequest(*element);
  }
}

void Client::executeRequest(adt::NioTag& element) {
  guarded([&] { executeUnguarded(element); });
}

void Client::executeUnguarded(adt::NioTag& element) {
  switch (protocolState_) {
    case 0:
      element.checkStreamSignature();
      protocolState_ = 1;
      return;
    case 1:
      if (element.tag() != kTagVersion) adt::tagged::throwInvalidTag(kTagVersion, element.tag());
      if (element.readInt() != kProtocolVersion) {
        throw ClientException("Неверная версия протокола взаимодействия",
                              ClientException::kProtocolViolation);
      }
      protocolState_ = 2;
      return;
    default:
      break;
  }
  if (login_) {
    if (login_->onMessage(element)) finishLogin();
    return;
  }
  if (request_) {
    if (request_->onMessage(element)) close();
    return;
  }
  dispatchCommand(element);
}

void Client::dispatchCommand(adt::NioTag& element) {
  host_.recordOperation("clientExecuteRq");
  const uint8_t tag = element.tag();
  ++adt::managerCounters().clientRequests[tag];
  adt::LogLine(adt::LOG_DBG, adt::debugEnabled())
      << "Клиент(" << number_ << "), команда " << static_cast<int>(tag);
  const Command* command = tag >= CommandTable::kFirstTag && tag <= CommandTable::kLastTag
                               ? host_.commands().find(tag)
                               : nullptr;
  if (!command) {
    throw ClientException(adt::format("Нарушение протокола взаимодействия. tag %d", tag),
                          ClientException::kProtocolViolation);
  }
  const bool checked = command->level != Command::kNoCheck;
  if (!command->implemented()) {
    // Known but not built into this manager: say so instead of pretending to serve it.
    if (checked) checkPrivilege(command->level);
    throw adt::Exception(adt::format("Команда %d (%s) не поддерживается", tag, command->name));
  }
  switch (command->kind) {
    case CommandKind::kLogin:
      loggedIn_ = false;
      userName_.clear();
      login_ = std::make_unique<RqLogin>(*this, element);
      return;
    case CommandKind::kRequest: {
      // Made before the check, so that its parse errors come first; a refused request is
      // released without being started.
      std::unique_ptr<Request> request = command->make(*this, element);
      if (checked) checkPrivilege(command->level);
      checkManagerLock(*command);
      startRequest(std::move(request));
      return;
    }
    case CommandKind::kHandler:
      if (checked) checkPrivilege(command->level);
      checkManagerLock(*command);
      runHandler(command->handler, element);
      return;
  }
}

void Client::checkManagerLock(const Command& command) const {
  // A locked manager is administered from the locking address only; reading stays open, and
  // the lock request answers for itself.
  if (command.level < 1 || command.tag == kTagManagerLock) return;
  const AdminHost* admin = host_.administration();
  if (!admin || admin->managerLockedBy() == 0) return;
  if (admin->managerLockedBy() != clientSocketAddress(*this).address) {
    throw adt::Exception("Сервер заблокирован с другого IP");
  }
}

template <typename Step>
void Client::guarded(Step&& step) {
  try {
    step();
  } catch (const ClientException& e) {
    const int32_t code = e.code();
    clientError(adt::format("%s [%d]", e.text().c_str(), code));
    replyError(&code, e.text());
  } catch (const adt::DetailedException& e) {
    clientError(e.detailedText());
    replyError(nullptr, e.text());
  } catch (const adt::Exception& e) {
    clientError(e.text());
    replyError(nullptr, e.text());
  } catch (const std::exception& e) {
    clientError(e.what());
    replyError(nullptr, e.what());
  }
}

void Client::replyError(const int32_t* code, const adt::String& text) {
  if (state() != adt::ChannelState::Open) return;
  adt::MemoryTaggedWriter reply;
  if (code) reply.writeInt(kTagErrorCode, *code);
  reply.writeString(kTagErrorText, text);
  send(reply);
  close();
}

}  // namespace clients
