// The TLS client of a build without a TLS library (the Windows build): every session fails at
// once with a text that says so, and the mail conversation reports it like any TLS failure.
#include "adt/exception.h"
#include "notify/tls_client.h"

namespace notify {

struct TlsClient::State {};

TlsClient::TlsClient(const adt::String&, const adt::String&) {
  throw adt::Exception("not available on Windows: STARTTLS (this build has no TLS library)");
}

TlsClient::~TlsClient() = default;
void TlsClient::feed(const char*, size_t) {}
bool TlsClient::handshake() { return false; }
void TlsClient::write(const std::string&) {}
void TlsClient::read(std::string*, size_t) {}
std::string TlsClient::takeOutput() { return {}; }
adt::String TlsClient::description() const { return {}; }

}  // namespace notify
