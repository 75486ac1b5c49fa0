// Test support: what a notification delivery reported to its callback.
#pragma once
#include <string>

#include "notify/smtp_callback.h"

namespace testsupport {

struct DeliveryOutcome : notify::SmtpCallBack {
  int successes = 0, errors = 0;
  std::string error;
  void onSuccess() override { ++successes; }
  void onError(const char* message) override {
    ++errors;
    error = message;
  }
  bool done() const { return successes + errors > 0; }
};

}  // namespace testsupport
