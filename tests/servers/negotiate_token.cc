// A test peer of the integrated sign-in: prints, in hex, the first token that the user of the
// credential cache (KRB5CCNAME) offers to the service named by argv[1]. Lets a test hold a
// token back and hand it to the manager later (after its ticket has expired). Exit code 0 with
// the token on stdout, 1 with the reason on stderr.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/negotiate.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: negotiate-token <service>\n");
    return 1;
  }
  std::unique_ptr<platform::NegotiateInitiator> initiator;
  std::string why;
  if (platform::openNegotiateInitiator(argv[1], initiator, why) != platform::kSecOk) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  std::vector<uint8_t> token;
  const int32_t status = initiator->step(nullptr, 0, token);
  if (status != platform::kSecOk && status != platform::kSecContinueNeeded) {
    std::fprintf(stderr, "%s\n", initiator->failureText().c_str());
    return 1;
  }
  for (uint8_t b : token) std::printf("%02x", b);
  std::printf("\n");
  return 0;
}
