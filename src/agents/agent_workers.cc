// Extra worker processes of one [agent] section: keeping their number, and giving a client to
// one of them.
#include <algorithm>
#include <random>

#include "agents/agent.h"

namespace agents {

int32_t Agent::freeWorkerId() const {
  for (int32_t id = 2;; ++id) {
    bool held = false;
    if (group) {
      for (const Agent* member : *group) held = held || member->workerId == id;
    }
    if (!held) return id;
  }
}

void Agent::takeOutOfGroup(Agent& worker) {
  auto& members = *group;
  members.erase(std::remove(members.begin(), members.end(), &worker), members.end());
  worker.group.reset();
  worker.workerId = 0;
  // The prefix keeps it from matching its section again.
  worker.conf.id = "--" + worker.conf.id;
  worker.stagedConf.id = "--" + worker.stagedConf.id;
  worker.removed = true;
  // A running one is deleted after its clean-up; an idle one has nothing to wait for.
  if (!worker.run && !worker.deletionQueued_) {
    worker.deletionQueued_ = true;
    host.queueAgentDeletion(worker);
  }
}

void Agent::applyWorkers(AgentList& list) {
  const config::AgentConf& section = stagedConf;
  const int32_t wantOrdinary = std::max(section.workerProcesses, 1) - 1;  // besides this one
  const int32_t wantHeavy = std::max(section.heavyProcesses, 0);
  if (!group) {
    if (wantOrdinary + wantHeavy == 0) return;
    group = std::make_shared<std::vector<Agent*>>();
    group->push_back(this);
  }
  for (const bool heavyKind : {false, true}) {
    const int32_t want = heavyKind ? wantHeavy : wantOrdinary;
    std::vector<Agent*> members;
    for (Agent* member : *group) {
      if (member != this && member->heavy == heavyKind) members.push_back(member);
    }
    const int32_t have = static_cast<int32_t>(members.size());
    // Surplus: idle ones first, then running ones, the latest first; never this primary.
    int32_t surplus = have - want;
    for (const bool running : {false, true}) {
      for (auto it = members.rbegin(); it != members.rend() && surplus > 0; ++it) {
        if (((*it)->run != nullptr) == running) {
          takeOutOfGroup(**it);
          --surplus;
        }
      }
    }
    for (int32_t n = have; n < want; ++n) {
      auto worker = std::make_unique<Agent>(host, workerConf(section));
      worker->group = group;
      worker->workerId = freeWorkerId();
      worker->heavy = heavyKind;
      worker->extHttpPort = section.httpPort;
      worker->extHttpsPort = section.httpsPort;
      worker->lockedBy = lockedBy;
      group->push_back(worker.get());
      list.push_back(std::move(worker));
    }
  }
  if (group->size() == 1) group.reset();
}

Agent* Agent::pickWorker(int32_t wantedWorkerId, bool wantHeavy) {
  const std::vector<Agent*> members = group ? *group : std::vector<Agent*>{this};
  Agent* chosen = nullptr;
  if (wantedWorkerId != 0) {
    for (Agent* member : members) {
      if (member->workerId == wantedWorkerId) {
        member->runOnce();
        chosen = member;
        break;
      }
    }
  }
  if (!chosen) {
    bool heavyExists = false;
    for (const Agent* member : members) heavyExists = heavyExists || member->heavy;
    const bool heavyKind = wantHeavy && conf.heavyProcesses > 0 && heavyExists;
    Agent* best = nullptr;       // running candidate with the lowest load score
    Agent* firstIdle = nullptr;  // first candidate without a running process
    for (Agent* candidate : members) {
      if (candidate->heavy != heavyKind || candidate->removed) continue;
      if (candidate->run && candidate->run->finished) candidate->cleanup();
      const auto running = [candidate] {
        return candidate->process() != nullptr && !candidate->run->finished;
      };
      // One supervision step refreshes the load score (and may find the process gone).
      if (running()) candidate->runOnce();
      if (running()) {
        // A stopping one (score unavailable) takes nobody new.
        if (candidate->load.score == kLoadUnavailable) continue;
        if (!best || candidate->load.score < best->load.score) best = candidate;
      } else if (!firstIdle) {
        firstIdle = candidate;
      }
    }
    if (best && best->load.reportedClients == 0 && best->clientCount == 0) {
      chosen = best;
    } else if (firstIdle) {
      chosen = firstIdle;  // it will be started
    } else if (best) {
      chosen = best;
    } else {
      static std::minstd_rand random(static_cast<uint32_t>(host.clock().nowMs()));
      chosen = members[random() % members.size()];
    }
  }
  ++chosen->clientCount;
  return chosen;
}

}  // namespace agents
