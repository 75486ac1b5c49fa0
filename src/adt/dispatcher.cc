#include "adt/dispatcher.h"

#include <exception>

#include "adt/exception.h"
#include "adt/log.h"
#include "platform/clock.h"

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

}  // namespace

ChannelDispatcher::ChannelDispatcher(size_t maxPerStep, uint64_t closeLimitMs)
    : maxPerStep_(maxPerStep ? maxPerStep : 1), closeLimitMs_(closeLimitMs) {
  batch_.reserve(maxPerStep_);
  entries_.reserve(maxPerStep_);
}

ChannelDispatcher::~ChannelDispatcher() {
  for (Channel* c : batch_) delete c;
  while (Channel* c = queue_.pop()) delete c;
}

void ChannelDispatcher::add(Channel* channel) { queue_.push(channel); }

void ChannelDispatcher::destroy(Channel* channel) { delete channel; }

bool ChannelDispatcher::process() {
  batch_.clear();
  entries_.clear();

  // 1. Pop at most maxPerStep_ channels and note what to watch them for.
  while (batch_.size() < maxPerStep_) {
    Channel* c = queue_.pop();
    if (!c) break;
    platform::PollEntry entry;
    entry.handle = c->handle();
    entry.wantRead = true;
    try {
      entry.wantWrite = c->wantsWrite();
    } catch (const std::exception& e) {
      logFailure(e);
      destroy(c);
      continue;
    } catch (...) {
      queue_.push(c);
      for (Channel* popped : batch_) queue_.push(popped);
      batch_.clear();
      throw;
    }
    batch_.push_back(c);
    entries_.push_back(entry);
  }

  // 2. Nothing registered: nothing to wait for.
  if (batch_.empty()) return false;

  // 3. Wait for readiness. On failure the popped channels stay registered.
  platform::NetResult ready = platform::socketPoll(entries_.data(), entries_.size(), kWaitMs);
  if (!ready.ok()) {
    for (Channel* c : batch_) queue_.push(c);
    batch_.clear();
    throw SocketException("ChannelDispatcher:select", ready.error);
  }

  // 4. Handle them, the last popped first.
  for (size_t i = batch_.size(); i-- > 0;) {
    Channel* c = batch_[i];
    const platform::PollEntry& entry = entries_[i];
    try {
      if (entry.writable) c->onWrite();
      if (entry.readable) {
        if (c->onRead(*this) == 1) {
          batch_[i] = nullptr;  // the channel took itself out; its owner has it now
          continue;
        }
      } else if (c->state() == ChannelState::Open) {
        c->onIdle();
      }
      finish(c);
    } catch (const std::exception& e) {
      logFailure(e);
      destroy(c);
    } catch (...) {
      // Not a failure of the channel (a thread being stopped): keep everything registered.
      for (size_t j = 0; j <= i; ++j) {
        if (batch_[j]) queue_.push(batch_[j]);
      }
      batch_.clear();
      throw;
    }
    batch_[i] = nullptr;
  }
  batch_.clear();
  return true;
}

void ChannelDispatcher::finish(Channel* c) {
  if (c->state() == ChannelState::Closing || c->state() == ChannelState::HalfClosed) {
    // A peer that neither takes the rest nor closes would hold the socket forever.
    const uint64_t now = platform::systemClock().nowMs();
    if (c->closingSince() == 0) {
      c->setClosingSince(now ? now : 1);
    } else if (now - c->closingSince() > closeLimitMs_) {
      destroy(c);
      return;
    }
  }
  switch (c->state()) {
    case ChannelState::Open:
    case ChannelState::HalfClosed:
      queue_.push(c);
      return;
    case ChannelState::Closing: {
      if (c->wantsWrite()) {
        queue_.push(c);
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
      c->setState(ChannelState::HalfClosed);
      queue_.push(c);
      return;
    }
    case ChannelState::Closed:
      destroy(c);
      return;
  }
}

void ChannelDispatcher::forEach(const std::function<void(Channel&)>& fn) {
  // Channels of a step in progress were at the head of the queue when it began.
  for (Channel* c : batch_) {
    if (c) fn(*c);
  }
  for (Channel* c = queue_.head(); c; c = c->queueNext()) fn(*c);
}

size_t ChannelDispatcher::count() {
  size_t n = 0;
  forEach([&n](Channel&) { ++n; });
  return n;
}

}  // namespace adt
