#include "adt/dispatcher.h"

#include <algorithm>
#include <exception>

#include "adt/exception.h"
#include "adt/log.h"

namespace adt {
namespace {

// A failing handler costs only its channel; what it threw goes to the error log.
void logFailure(const std::exception& e) {
  if (const auto* detailed = dynamic_cast<const DetailedException*>(&e)) {
    log(LOG_ERR, detailed->detailedText());
  } else {
    log(LOG_ERR, e.what());
  }
}

constexpr size_t kMinEvents = 64;

}  // namespace

void Channel::interestChanged() {
  if (dispatcher_) dispatcher_->touch(*this);
}

ChannelDispatcher::ChannelDispatcher(platform::Clock& clock, uint64_t closeLimitMs)
    : clock_(clock), closeLimitMs_(closeLimitMs), receive_(new uint8_t[kReceiveChunk]) {
  int error = 0;
  poller_ = platform::newPoller(&error);
  if (!poller_) throw SocketException("ChannelDispatcher:poll", error);
}

ChannelDispatcher::~ChannelDispatcher() {
  for (Channel*& c : slots_) {
    if (!c) continue;
    Channel* doomed = c;
    c = nullptr;
    doomed->dispatcher_ = nullptr;
    delete doomed;
  }
}

void ChannelDispatcher::add(Channel* channel) {
  uint32_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.push_back(nullptr);
  }
  if (nextGeneration_ == 0) nextGeneration_ = 1;
  channel->slot_ = slot;
  channel->generation_ = nextGeneration_++;
  channel->dispatcher_ = this;
  channel->touched_ = false;
  channel->readInStep_ = 0;
  channel->watchRead_ = true;
  channel->watchWrite_ = false;
  slots_[slot] = channel;
  ++live_;
  const SocketHandle h = channel->handle();
  if (h < 0) return;  // nothing to watch; the idle pass still visits it
  if (int e = poller_->add(h, keyOf(*channel), true, false)) {
    destroy(channel);
    throw SocketException(format("ChannelDispatcher:add(handle=%d)", h), e);
  }
  // Output queued before registration (a greeting) is watched from the first step on.
  touch(*channel);
}

void ChannelDispatcher::setPeriodic(uint64_t intervalMs, std::function<void()> work) {
  periodicIntervalMs_ = intervalMs;
  periodic_ = std::move(work);
  periodicDue_ = 0;  // due at once
}

void ChannelDispatcher::touch(Channel& channel) {
  if (channel.touched_) return;
  channel.touched_ = true;
  touched_.push_back(keyOf(channel));
}

Channel* ChannelDispatcher::lookup(uint64_t key) const {
  const uint32_t slot = static_cast<uint32_t>(key);
  if (slot >= slots_.size()) return nullptr;
  Channel* c = slots_[slot];
  // A channel destroyed in this step, or another one in its slot since: not the one meant.
  if (!c || c->generation_ != static_cast<uint32_t>(key >> 32)) return nullptr;
  return c;
}

void ChannelDispatcher::release(Channel* c) {
  const SocketHandle h = c->handle();
  if (h >= 0) (void)poller_->remove(h);
  slots_[c->slot_] = nullptr;
  free_.push_back(c->slot_);
  --live_;
  c->dispatcher_ = nullptr;
  c->touched_ = false;
}

void ChannelDispatcher::destroy(Channel* c) {
  release(c);
  delete c;
}

template <typename Handler>
bool ChannelDispatcher::guarded(Channel* c, Handler&& handler) {
  try {
    handler();
    return true;
  } catch (const std::exception& e) {
    logFailure(e);
    if (lookup(keyOf(*c)) == c) destroy(c);
    return false;
  }
}

void ChannelDispatcher::watch(Channel* c) {
  const bool read = c->wantsRead();
  const bool write = c->wantsWrite();
  if (read == c->watchRead_ && write == c->watchWrite_) return;
  const SocketHandle h = c->handle();
  if (h >= 0) {
    if (int e = poller_->modify(h, keyOf(*c), read, write)) {
      throw SocketException(format("ChannelDispatcher:watch(handle=%d)", h), e);
    }
  }
  c->watchRead_ = read;
  c->watchWrite_ = write;
}

void ChannelDispatcher::settle(Channel* c, uint64_t now) {
  c->touched_ = false;
  // Output queued since the last look goes out at once while the socket takes it: a reply that
  // fits needs no round through the poller.
  if (c->state() <= ChannelState::Closing && !c->watchWrite_ && c->wantsWrite()) c->onWrite();
  const ChannelState state = c->state();
  if (state == ChannelState::Closing || state == ChannelState::HalfClosed) {
    // A peer that neither takes the rest nor closes would hold the socket forever.
    if (c->closingSince() == 0) {
      c->setClosingSince(now ? now : 1);
    } else if (now - c->closingSince() > closeLimitMs_) {
      destroy(c);
      return;
    }
  }
  switch (state) {
    case ChannelState::Open:
    case ChannelState::HalfClosed:
      watch(c);
      return;
    case ChannelState::Closing: {
      if (c->wantsWrite()) {
        watch(c);
        return;
      }
      const int e = platform::socketShutdown(c->handle(), platform::kShutSend);
      if (e == platform::kNetNotConnected || e == platform::kNetConnReset) {
        // Nothing left to shut down (the peer is gone, or there never was a connection).
        destroy(c);
        return;
      }
      if (e != 0) {
        throw SocketException(format("::shutdown(handle=%d,Socket::SEND=1)", c->handle()), e);
      }
      c->setHalfClosedSince(now ? now : 1);
      c->setState(ChannelState::HalfClosed);
      c->touched_ = false;  // settled right here
      watch(c);
      return;
    }
    case ChannelState::Closed:
      destroy(c);
      return;
  }
}

void ChannelDispatcher::settleTouched(uint64_t now) {
  if (touched_.empty()) return;
  std::vector<uint64_t> keys;
  keys.swap(touched_);
  for (uint64_t key : keys) {
    Channel* c = lookup(key);
    if (!c || !c->touched_) continue;  // gone, or settled since
    guarded(c, [&] { settle(c, now); });
  }
  if (touched_.empty()) {
    keys.clear();
    touched_.swap(keys);  // keep the capacity
  }
}

void ChannelDispatcher::wakeBy(uint64_t atMs) {
  if (wakeBy_ == 0 || atMs < wakeBy_) wakeBy_ = atMs ? atMs : 1;
}

void ChannelDispatcher::idlePass(uint64_t now) {
  lastIdlePass_ = now;
  idledOnce_ = true;
  if (wakeBy_ != 0 && now >= wakeBy_) wakeBy_ = 0;
  // Channels registered during the pass wait for the next one.
  const size_t n = slots_.size();
  for (size_t i = 0; i < n; ++i) {
    Channel* c = slots_[i];
    if (!c) continue;
    if (c->readInStep_ != step_ && c->state() == ChannelState::Open) {
      if (!guarded(c, [c] { c->onIdle(); })) continue;
    }
    if (!guarded(c, [c, now] { c->checkLimits(now); })) continue;
    guarded(c, [&] { settle(c, now); });
  }
}

void ChannelDispatcher::runPeriodic(uint64_t now) {
  if (!periodic_ || now < periodicDue_) return;
  periodicDue_ = now + periodicIntervalMs_;
  try {
    periodic_();
  } catch (const std::exception& e) {
    logFailure(e);
  }
}

bool ChannelDispatcher::process() {
  if (live_ == 0) return false;
  ++step_;
  uint64_t now = clock_.nowMs();
  settleTouched(now);

  uint64_t wait = kWaitMs;
  if (periodic_) wait = std::min<uint64_t>(wait, periodicDue_ > now ? periodicDue_ - now : 0);
  if (wakeBy_ != 0) wait = std::min<uint64_t>(wait, wakeBy_ > now ? wakeBy_ - now : 0);
  const size_t capacity = std::clamp(live_, kMinEvents, kMaxEventsPerStep);
  if (events_.size() < capacity) events_.resize(capacity);
  const platform::NetResult ready = poller_->wait(events_.data(), capacity, static_cast<int>(wait));
  if (!ready.ok()) throw SocketException("ChannelDispatcher:select", ready.error);
  now = clock_.nowMs();

  const size_t n = static_cast<size_t>(ready.value);
  for (size_t i = 0; i < n; ++i) {
    const platform::PollEvent event = events_[i];
    Channel* c = lookup(event.key);
    if (!c) continue;
    if (event.writable && c->watchWrite_) {
      if (!guarded(c, [c] { c->onWrite(); })) continue;
    }
    if (event.readable) {
      c->readInStep_ = step_;
      int result = 0;
      if (!guarded(c, [&] { result = c->onRead(*this); })) continue;
      if (result == 1) {
        // The channel took itself out; its owner has it now.
        if (lookup(event.key) == c) release(c);
        continue;
      }
    }
    guarded(c, [&] { settle(c, now); });
  }

  if (!idledOnce_ || n == 0 || now - lastIdlePass_ >= kIdleIntervalMs ||
      (wakeBy_ != 0 && now >= wakeBy_)) {
    idlePass(now);
  }
  runPeriodic(now);
  return true;
}

void ChannelDispatcher::forEach(const std::function<void(Channel&)>& fn) {
  for (Channel* c : slots_) {
    if (c) fn(*c);
  }
}

}  // namespace adt
