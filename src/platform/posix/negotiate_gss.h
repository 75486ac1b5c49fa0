// What the GSS-API sides of the "Negotiate" package share: the SPNEGO mechanism, the
// translation of GSS statuses into the security statuses the code above knows, the failure
// texts, and owners for the library's handles.
#pragma once
#include <gssapi/gssapi.h>

#include <cstdint>
#include <string>

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

// Owners of one library handle each; copying is deleted, release happens on destruction.
class Name {
 public:
  Name() = default;
  ~Name();
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;
  gss_name_t* out() { return &name_; }
  gss_name_t get() const { return name_; }

 private:
  gss_name_t name_ = GSS_C_NO_NAME;
};

class Buffer {
 public:
  Buffer() = default;
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  gss_buffer_t out() { return &buffer_; }
  const uint8_t* data() const { return static_cast<const uint8_t*>(buffer_.value); }
  size_t size() const { return buffer_.length; }

 private:
  gss_buffer_desc buffer_ = GSS_C_EMPTY_BUFFER;
};

class Credential {
 public:
  Credential() = default;
  ~Credential();
  Credential(const Credential&) = delete;
  Credential& operator=(const Credential&) = delete;
  gss_cred_id_t* out() { return &credential_; }
  gss_cred_id_t get() const { return credential_; }

 private:
  gss_cred_id_t credential_ = GSS_C_NO_CREDENTIAL;
};

class SecurityContext {
 public:
  SecurityContext() = default;
  ~SecurityContext();
  SecurityContext(const SecurityContext&) = delete;
  SecurityContext& operator=(const SecurityContext&) = delete;
  gss_ctx_id_t* inout() { return &context_; }

 private:
  gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
};

}  // namespace platform::gss
