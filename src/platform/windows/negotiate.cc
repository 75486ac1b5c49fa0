// The integrated sign-in is not built on Windows yet: every request fails with a text that
// says so, and nothing is ever accepted. The system's own package (SSPI) would go here.
#include "platform/negotiate.h"

#include "platform/windows/win.h"

namespace platform {
namespace {

class UnavailableProvider : public NegotiateProvider {
 public:
  int32_t open(std::unique_ptr<NegotiateContext>& context, std::string& failure) override {
    context.reset();
    failure = win::unavailable("the Negotiate package");
    return kSecPackageNotFound;
  }
};

}  // namespace

std::unique_ptr<NegotiateProvider> makeNegotiateProvider(const std::string&) {
  return std::make_unique<UnavailableProvider>();
}

int32_t openNegotiateInitiator(const std::string&, std::unique_ptr<NegotiateInitiator>& initiator,
                               std::string& failure) {
  initiator.reset();
  failure = win::unavailable("the Negotiate package");
  return kSecPackageNotFound;
}

}  // namespace platform
