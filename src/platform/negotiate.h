// The integrated-authentication ("Negotiate") package, server side: accepting a client's
// security tokens until the package has established who the client is, then naming the
// client's account. Only the calls are translated here; the message flow around them, the
// step counting and every error text live above.
//
// Status values are numbered as the Windows security statuses, so the texts built from them
// ("securityStatus1=-2146893044") read the same whatever package stands behind the interface.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Security statuses the code above tests for by number.
constexpr int32_t kSecOk = 0;                                             // SEC_E_OK
constexpr int32_t kSecContinueNeeded = 0x00090312;                        // SEC_I_CONTINUE_NEEDED
constexpr int32_t kSecInvalidToken = static_cast<int32_t>(0x80090308u);   // SEC_E_INVALID_TOKEN
constexpr int32_t kSecLogonDenied = static_cast<int32_t>(0x8009030Cu);    // SEC_E_LOGON_DENIED
constexpr int32_t kSecNoCredentials = static_cast<int32_t>(0x8009030Eu);  // SEC_E_NO_CREDENTIALS
constexpr int32_t kSecPackageNotFound =
    static_cast<int32_t>(0x80090305u);  // SEC_E_SECPKG_NOT_FOUND
constexpr int32_t kSecUnsupportedFunction =
    static_cast<int32_t>(0x80090302u);                                    // SEC_E_UNSUPPORTED_FUNCTION
constexpr int32_t kSecTargetUnknown = static_cast<int32_t>(0x80090303u);  // SEC_E_TARGET_UNKNOWN
constexpr int32_t kSecInternalError = static_cast<int32_t>(0x80090304u);  // SEC_E_INTERNAL_ERROR
constexpr int32_t kSecMessageAltered = static_cast<int32_t>(0x8009030Fu);  // SEC_E_MESSAGE_ALTERED
constexpr int32_t kSecContextExpired = static_cast<int32_t>(0x80090317u);  // SEC_E_CONTEXT_EXPIRED
constexpr int32_t kSecBufferTooSmall = static_cast<int32_t>(0x80090321u);  // SEC_E_BUFFER_TOO_SMALL
constexpr int32_t kSecBadBindings = static_cast<int32_t>(0x80090346u);     // SEC_E_BAD_BINDINGS

// Context requirement flags (ASC_REQ_ values) passed to accept().
constexpr uint32_t kAscReqAllocateMemory = 0x00000100;
constexpr uint32_t kAscReqExtendedError = 0x00008000;

// One authentication conversation with one client: the credentials acquired for it and the
// security context built up token by token. Owned by the request that runs the conversation;
// used by one thread at a time.
class NegotiateContext {
 public:
  virtual ~NegotiateContext() = default;

  // Accepts one token of the client with the given requirement flags (native data
  // representation). Returns the package's status: kSecOk when the client is authenticated,
  // kSecContinueNeeded when the package waits for another token, anything else a failure.
  // `out` receives the token to send back to the client; it may be empty.
  virtual int32_t accept(uint32_t requirements, const uint8_t* token, size_t size,
                         std::vector<uint8_t>& out) = 0;

  // After accept() returned kSecOk: the client's account name as the system gives it (its
  // own 8-bit encoding, not converted). The system may briefly act as the client's account to
  // find it and returns to its own account before this returns. Returns a status: kSecOk, or
  // the failure, with `name` untouched.
  virtual int32_t accountName(std::string& name) = 0;

  // Why the last accept() or accountName() failed, in the package's own words (its status
  // numbers and messages); empty when it says nothing more than the status.
  virtual std::string failureText() const { return std::string(); }
};

// The package: makes conversations. Thread-safe.
class NegotiateProvider {
 public:
  virtual ~NegotiateProvider() = default;

  // Acquires credentials for both directions with no principal name and makes a fresh
  // context. Returns kSecOk with `context` set, or the failure status with `context` null and
  // `failure` saying why in the package's words (may be empty).
  virtual int32_t open(std::unique_ptr<NegotiateContext>& context, std::string& failure) = 0;
};

// The host's package: Kerberos through SPNEGO (GSS-API). The service's keys come from the
// keytab named by KRB5_KTNAME when that is set, else from `keytab` when that file exists, else
// from the system's default keytab; which one is decided at each open(), so a keytab put in
// place later is used without a restart. A missing keytab fails open() with
// kSecNoCredentials and the library's message.
std::unique_ptr<NegotiateProvider> makeNegotiateProvider(const std::string& keytab);

// The client side of the same package: one conversation as the user of the credential cache
// (KRB5CCNAME or the library's default) with one service. Asks the service to prove itself
// too (mutual authentication). Used by one thread at a time.
class NegotiateInitiator {
 public:
  virtual ~NegotiateInitiator() = default;

  // Takes the service's last token (none on the first call) and makes the next token to send
  // into `out` (may be empty). Returns kSecContinueNeeded while the service has more to say,
  // kSecOk once the service is proven, anything else a failure (failureText() says why).
  virtual int32_t step(const uint8_t* token, size_t size, std::vector<uint8_t>& out) = 0;

  // Why the last step failed, in the package's words.
  virtual std::string failureText() const = 0;
};

// Starts a conversation with `service`: "service@host" names a host's service ("host@db1"),
// anything with a "/" a Kerberos principal ("HTTP/web1" or "HTTP/web1@REALM"). Returns kSecOk
// with `initiator` set, or the failure with `failure` saying why.
int32_t openNegotiateInitiator(const std::string& service,
                               std::unique_ptr<NegotiateInitiator>& initiator,
                               std::string& failure);

}  // namespace platform
