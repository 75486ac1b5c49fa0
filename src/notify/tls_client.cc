#include "notify/tls_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "adt/exception.h"
#include "adt/socket.h"

namespace notify {
namespace {

// The reason of the last failure in OpenSSL's error queue (which is emptied).
adt::String lastError(const char* what) {
  adt::String out = adt::String("TLS: ") + what;
  unsigned long code = 0;
  bool first = true;
  while ((code = ERR_get_error()) != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    out += first ? ": " : "; ";
    out += text;
    first = false;
  }
  return out;
}

}  // namespace

struct TlsClient::State {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // server -> ssl (owned by ssl)
  BIO* out = nullptr;  // ssl -> server (owned by ssl)
  ~State() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
  }
};

TlsClient::TlsClient(const adt::String& serverName, const adt::String& caFile)
    : s_(std::make_unique<State>()) {
  ERR_clear_error();
  s_->ctx = SSL_CTX_new(TLS_client_method());
  if (!s_->ctx) throw adt::Exception(lastError("SSL_CTX_new"));
  SSL_CTX_set_min_proto_version(s_->ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(s_->ctx, SSL_VERIFY_PEER, nullptr);
  const int loaded = caFile.empty()
                         ? SSL_CTX_set_default_verify_paths(s_->ctx)
                         : SSL_CTX_load_verify_locations(s_->ctx, caFile.c_str(), nullptr);
  if (loaded != 1) throw adt::Exception(lastError("trusted certificates not loaded"));
  s_->ssl = SSL_new(s_->ctx);
  if (!s_->ssl) throw adt::Exception(lastError("SSL_new"));
  s_->in = BIO_new(BIO_s_mem());
  s_->out = BIO_new(BIO_s_mem());
  if (!s_->in || !s_->out) {
    if (s_->in) BIO_free(s_->in);
    if (s_->out) BIO_free(s_->out);
    throw adt::Exception(lastError("BIO_new"));
  }
  SSL_set_bio(s_->ssl, s_->in, s_->out);
  SSL_set_connect_state(s_->ssl);
  X509_VERIFY_PARAM* param = SSL_get0_param(s_->ssl);
  if (adt::Socket::isDottedQuad(serverName)) {
    if (X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str()) != 1) {
      throw adt::Exception(lastError("server address"));
    }
  } else {
    SSL_set_tlsext_host_name(s_->ssl, serverName.c_str());
    if (SSL_set1_host(s_->ssl, serverName.c_str()) != 1) {
      throw adt::Exception(lastError("server name"));
    }
  }
}

TlsClient::~TlsClient() = default;

void TlsClient::feed(const char* data, size_t n) {
  if (n == 0) return;
  if (BIO_write(s_->in, data, static_cast<int>(n)) != static_cast<int>(n)) {
    throw adt::Exception(lastError("BIO_write"));
  }
}

bool TlsClient::handshake() {
  ERR_clear_error();
  const int r = SSL_do_handshake(s_->ssl);
  if (r == 1) return true;
  const int e = SSL_get_error(s_->ssl, r);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return false;
  const long verify = SSL_get_verify_result(s_->ssl);
  if (verify != X509_V_OK) {
    ERR_clear_error();
    throw adt::Exception(adt::String("TLS: сертификат сервера не принят: ") +
                         X509_verify_cert_error_string(verify));
  }
  throw adt::Exception(lastError("handshake failed"));
}

void TlsClient::write(const std::string& plain) {
  ERR_clear_error();
  size_t done = 0;
  while (done < plain.size()) {
    size_t n = 0;
    if (SSL_write_ex(s_->ssl, plain.data() + done, plain.size() - done, &n) != 1) {
      throw adt::Exception(lastError("SSL_write"));
    }
    done += n;
  }
}

void TlsClient::read(std::string* out, size_t limit) {
  ERR_clear_error();
  char chunk[4096];
  while (out->size() < limit) {
    size_t n = 0;
    if (SSL_read_ex(s_->ssl, chunk, sizeof chunk, &n) == 1) {
      out->append(chunk, n);
      continue;
    }
    const int e = SSL_get_error(s_->ssl, 0);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_ZERO_RETURN) {
      ERR_clear_error();
      return;
    }
    throw adt::Exception(lastError("SSL_read"));
  }
}

std::string TlsClient::takeOutput() {
  std::string out;
  char chunk[4096];
  for (;;) {
    const int n = BIO_read(s_->out, chunk, sizeof chunk);
    if (n <= 0) break;
    out.append(chunk, static_cast<size_t>(n));
  }
  return out;
}

adt::String TlsClient::description() const {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(s_->ssl);
  return adt::String(SSL_get_version(s_->ssl)) + " " +
         (cipher ? SSL_CIPHER_get_name(cipher) : "?");
}

}  // namespace notify
