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
};

// The package: makes conversations. Thread-safe.
class NegotiateProvider {
 public:
  virtual ~NegotiateProvider() = default;

  // Acquires credentials for both directions with no principal name and makes a fresh
  // context. Returns kSecOk with `context` set, or the failure status with `context` null.
  virtual int32_t open(std::unique_ptr<NegotiateContext>& context) = 0;
};

}  // namespace platform
