// The "Negotiate" package's service side on GSS-API: SPNEGO acceptor credentials from a
// keytab, one security context per conversation, the client's principal as the account name.
#include "platform/posix/negotiate_gss.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "platform/negotiate.h"

namespace platform {
namespace gss {
namespace {

// 1.3.6.1.5.5.2 in DER, without tag and length.
char kSpnegoElements[] = "\x2b\x06\x01\x05\x05\x02";
gss_OID_desc kSpnego = {6, kSpnegoElements};
gss_OID_set_desc kSpnegoSet = {1, &kSpnego};

constexpr size_t kFailureTextLimit = 1024;

// Appends every message of one status (major or minor) to `out`, "; " between them.
void appendMessages(OM_uint32 status, int type, gss_OID mechanism, std::string& out) {
  OM_uint32 more = 0;
  do {
    OM_uint32 minor = 0;
    Buffer text;
    if (GSS_ERROR(gss_display_status(&minor, status, type, mechanism, &more, text.out()))) return;
    // Some messages count their terminating NUL: it must not reach a reply or a log line.
    const char* chars = static_cast<const char*>(text.get().value);
    size_t size = text.get().length;
    while (size > 0 && chars[size - 1] == '\0') --size;
    if (size == 0) continue;
    if (!out.empty()) out += "; ";
    out.append(chars, size);
  } while (more != 0 && out.size() < kFailureTextLimit);
}

}  // namespace

gss_OID spnegoMechanism() { return &kSpnego; }
gss_OID_set_desc* spnegoMechanisms() { return &kSpnegoSet; }

int32_t securityStatus(OM_uint32 major) {
  switch (GSS_ROUTINE_ERROR(major)) {
    case GSS_S_COMPLETE:
      return (major & GSS_S_CONTINUE_NEEDED) ? kSecContinueNeeded : kSecOk;
    case GSS_S_BAD_MECH:
      return kSecPackageNotFound;
    case GSS_S_BAD_NAME:
    case GSS_S_BAD_NAMETYPE:
      return kSecTargetUnknown;
    case GSS_S_BAD_BINDINGS:
      return kSecBadBindings;
    case GSS_S_BAD_SIG:
      return kSecMessageAltered;
    case GSS_S_NO_CRED:
      return kSecNoCredentials;
    case GSS_S_NO_CONTEXT:
    case GSS_S_DEFECTIVE_TOKEN:
      return kSecInvalidToken;
    case GSS_S_DEFECTIVE_CREDENTIAL:
    case GSS_S_FAILURE:
      // Kerberos says why in the minor status (a ticket for another service, a key that is
      // not in the keytab, a clock too far off): for the client the sign-in was refused.
      return kSecLogonDenied;
    case GSS_S_CREDENTIALS_EXPIRED:
    case GSS_S_CONTEXT_EXPIRED:
      return kSecContextExpired;
    case GSS_S_UNAVAILABLE:
      return kSecUnsupportedFunction;
    default:
      return kSecInternalError;
  }
}

std::string mechanismText(OM_uint32 minor, gss_OID mechanism) {
  std::string messages;
  appendMessages(minor, GSS_C_MECH_CODE, mechanism, messages);
  if (messages.size() > kFailureTextLimit) messages.resize(kFailureTextLimit);
  return messages;
}

std::string failureText(OM_uint32 major, OM_uint32 minor, gss_OID mechanism) {
  char head[64];
  std::snprintf(head, sizeof head, "GSS major 0x%08X, minor %d: ", major,
                static_cast<int32_t>(minor));
  std::string messages;
  appendMessages(major, GSS_C_GSS_CODE, GSS_C_NO_OID, messages);
  if (minor != 0) appendMessages(minor, GSS_C_MECH_CODE, mechanism, messages);
  if (messages.size() > kFailureTextLimit) messages.resize(kFailureTextLimit);
  return head + messages;
}

void releaseName(gss_name_t& name) {
  OM_uint32 minor = 0;
  if (name != GSS_C_NO_NAME) gss_release_name(&minor, &name);
}

void releaseBuffer(gss_buffer_desc& buffer) {
  OM_uint32 minor = 0;
  if (buffer.value) gss_release_buffer(&minor, &buffer);
}

void releaseCredential(gss_cred_id_t& credential) {
  OM_uint32 minor = 0;
  if (credential != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &credential);
}

void releaseContext(gss_ctx_id_t& context) {
  OM_uint32 minor = 0;
  if (context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
}

int32_t stepOutcome(OM_uint32 major, OM_uint32 minor, gss_OID mechanism, const Buffer& token,
                    std::vector<uint8_t>& out, std::string& failure) {
  const auto* bytes = static_cast<const uint8_t*>(token.get().value);
  out.assign(bytes, bytes + token.get().length);
  const int32_t status = securityStatus(major);
  failure = status == kSecOk || status == kSecContinueNeeded
                ? std::string()
                : failureText(major, minor, mechanism);
  return status;
}

}  // namespace gss

namespace {

// GetUserNameA's buffer on the other platform: 1023 bytes with the terminator.
constexpr size_t kAccountNameLimit = 1022;

class GssAcceptorContext final : public NegotiateContext {
 public:
  explicit GssAcceptorContext(std::unique_ptr<gss::Credential> credential)
      : credential_(std::move(credential)) {}

  // The requirement flags ask the other package for memory handling and error detail; GSS
  // always allocates its tokens and reports its errors, so there is nothing to pass on.
  int32_t accept(uint32_t, const uint8_t* token, size_t size,
                 std::vector<uint8_t>& out) override {
    gss_buffer_desc input{size, const_cast<uint8_t*>(token)};
    gss::Buffer output;
    OM_uint32 minor = 0;
    gss_OID mechanism = GSS_C_NO_OID;
    const OM_uint32 major = gss_accept_sec_context(
        &minor, context_.out(), credential_->get(), &input, GSS_C_NO_CHANNEL_BINDINGS,
        client_.get() == GSS_C_NO_NAME ? client_.out() : nullptr, &mechanism, output.out(),
        nullptr, nullptr, nullptr);
    const int32_t status = gss::stepOutcome(major, minor, mechanism, output, out, failure_);
    // The library picks the mechanism from the token's framing; a token of another mechanism
    // (or no framing at all) finds no credential of ours: the token is what is wrong.
    return status == kSecNoCredentials || status == kSecPackageNotFound ? kSecInvalidToken
                                                                         : status;
  }

  // The principal "user@REALM" names the account "user", as a sign-in name without its
  // domain. The text is the library's (UTF-8), passed on as it is.
  int32_t accountName(std::string& name) override {
    OM_uint32 minor = 0;
    gss::Buffer text;
    const OM_uint32 major = gss_display_name(&minor, client_.get(), text.out(), nullptr);
    if (GSS_ERROR(major)) {
      failure_ = gss::failureText(major, minor);
      return gss::securityStatus(major) == kSecOk ? kSecInternalError : gss::securityStatus(major);
    }
    std::string principal(static_cast<const char*>(text.get().value), text.get().length);
    const size_t at = principal.rfind('@');
    if (at != std::string::npos) principal.resize(at);
    if (principal.empty() || principal.size() > kAccountNameLimit) {
      failure_ = "account name of " + std::to_string(principal.size()) + " bytes (1.." +
                 std::to_string(kAccountNameLimit) + " fit)";
      return kSecBufferTooSmall;
    }
    name = std::move(principal);
    failure_.clear();
    return kSecOk;
  }

  std::string failureText() const override { return failure_; }

 private:
  std::unique_ptr<gss::Credential> credential_;
  gss::SecurityContext context_;
  gss::Name client_;
  std::string failure_;
};

class GssProvider final : public NegotiateProvider {
 public:
  explicit GssProvider(std::string keytab) : keytab_(std::move(keytab)) {}

  int32_t open(std::unique_ptr<NegotiateContext>& context, std::string& failure) override {
    // KRB5_KTNAME, when set, is the library's own choice: no store then.
    const char* named = std::getenv("KRB5_KTNAME");
    struct stat st;
    const bool beside = (named == nullptr || *named == '\0') && !keytab_.empty() &&
                        ::stat(keytab_.c_str(), &st) == 0;
    auto credential = std::make_unique<gss::Credential>();
    OM_uint32 minor = 0;
    OM_uint32 major = acquire(beside, gss::spnegoMechanisms(), *credential, minor);
    if (GSS_ERROR(major)) {
      failure = gss::failureText(major, minor);
      // SPNEGO only says it found no mechanism; Kerberos alone says what is wrong with the
      // keytab (missing, empty, unreadable).
      gss_OID_desc krb5 = *gss_mech_krb5;
      gss_OID_set_desc krb5Only{1, &krb5};
      gss::Credential probe;
      major = acquire(beside, &krb5Only, probe, minor);
      if (GSS_ERROR(major) && minor != 0) failure += "; " + gss::mechanismText(minor, &krb5);
      // Whatever the library's reason, the service has no credentials to accept with.
      return kSecNoCredentials;
    }
    failure.clear();
    context = std::make_unique<GssAcceptorContext>(std::move(credential));
    return kSecOk;
  }

 private:
  // Acceptor credentials for `mechanisms`, from the keytab beside the executable when
  // `beside`, else from the library's default keytab.
  OM_uint32 acquire(bool beside, gss_OID_set mechanisms, gss::Credential& credential,
                    OM_uint32& minor) const {
    if (!beside) {
      return gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, mechanisms, GSS_C_ACCEPT,
                              credential.out(), nullptr, nullptr);
    }
    gss_key_value_element_desc element{"keytab", keytab_.c_str()};
    gss_key_value_set_desc store{1, &element};
    return gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, mechanisms,
                                 GSS_C_ACCEPT, &store, credential.out(), nullptr, nullptr);
  }

  const std::string keytab_;
};

}  // namespace

std::unique_ptr<NegotiateProvider> makeNegotiateProvider(const std::string& keytab) {
  return std::make_unique<GssProvider>(keytab);
}

}  // namespace platform
