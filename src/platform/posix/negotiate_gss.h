// What the GSS-API sides of the "Negotiate" package share: the SPNEGO mechanism, the
// translation of GSS statuses into the security statuses the code above knows, the failure
// texts, and owners for the library's handles.
#pragma once
#include <gssapi/gssapi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform::gss {

// SPNEGO, 1.3.6.1.5.5.2.
gss_OID spnegoMechanism();
// The mechanism set holding SPNEGO alone.
gss_OID_set_desc* spnegoMechanisms();

// The security status a GSS major status stands for: complete -> kSecOk, continue needed ->
// kSecContinueNeeded, each routine error -> the nearest failure status.
int32_t securityStatus(OM_uint32 major);

// "GSS major 0x<major>, minor <minor>: <major message>; <minor message>", at most about 1 KiB.
// `mechanism` interprets the minor status (null: the library's default).
std::string failureText(OM_uint32 major, OM_uint32 minor, gss_OID mechanism = GSS_C_NO_OID);

// The messages of a mechanism's minor status alone, at most about 1 KiB.
std::string mechanismText(OM_uint32 minor, gss_OID mechanism);

// One library handle (or buffer) and its release, on destruction; copying is deleted.
template <typename T, void (*Release)(T&)>
class Owned {
 public:
  Owned() = default;
  ~Owned() { Release(value_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T* out() { return &value_; }
  const T& get() const { return value_; }

 private:
  T value_{};  // the library's "none": GSS_C_NO_NAME, GSS_C_EMPTY_BUFFER, ...
};

void releaseName(gss_name_t& name);
void releaseBuffer(gss_buffer_desc& buffer);
void releaseCredential(gss_cred_id_t& credential);
void releaseContext(gss_ctx_id_t& context);

using Name = Owned<gss_name_t, releaseName>;
using Buffer = Owned<gss_buffer_desc, releaseBuffer>;
using Credential = Owned<gss_cred_id_t, releaseCredential>;
using SecurityContext = Owned<gss_ctx_id_t, releaseContext>;

// The outcome of one context step: its token copied into `out`, its status translated, and
// `failure` set to failureText() for a failure (cleared otherwise).
int32_t stepOutcome(OM_uint32 major, OM_uint32 minor, gss_OID mechanism, const Buffer& token,
                    std::vector<uint8_t>& out, std::string& failure);

}  // namespace platform::gss
