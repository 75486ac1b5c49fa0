// The "Negotiate" package's client side on GSS-API: an SPNEGO initiator with the user's
// default credentials (the Kerberos credential cache), mutual authentication.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>

#include "platform/negotiate.h"
#include "platform/posix/negotiate_gss.h"

namespace platform {
namespace {

class GssInitiator final : public NegotiateInitiator {
 public:
  explicit GssInitiator(std::unique_ptr<gss::Name> service) : service_(std::move(service)) {}

  int32_t step(const uint8_t* token, size_t size, std::vector<uint8_t>& out) override {
    gss_buffer_desc input{size, const_cast<uint8_t*>(token)};
    gss::Buffer output;
    OM_uint32 minor = 0;
    const OM_uint32 major = gss_init_sec_context(
        &minor, GSS_C_NO_CREDENTIAL, context_.out(), service_->get(), gss::spnegoMechanism(),
        GSS_C_MUTUAL_FLAG | GSS_C_SEQUENCE_FLAG, GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS,
        size == 0 ? GSS_C_NO_BUFFER : &input, nullptr, output.out(), nullptr, nullptr);
    return gss::stepOutcome(major, minor, GSS_C_NO_OID, output, out, failure_);
  }

  std::string failureText() const override { return failure_; }

 private:
  std::unique_ptr<gss::Name> service_;
  gss::SecurityContext context_;
  std::string failure_;
};

}  // namespace

int32_t openNegotiateInitiator(const std::string& service,
                               std::unique_ptr<NegotiateInitiator>& initiator,
                               std::string& failure) {
  auto name = std::make_unique<gss::Name>();
  gss_buffer_desc text{service.size(), const_cast<char*>(service.data())};
  const gss_OID type = service.find('/') != std::string::npos
                           ? static_cast<gss_OID>(GSS_KRB5_NT_PRINCIPAL_NAME)
                           : GSS_C_NT_HOSTBASED_SERVICE;
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_import_name(&minor, &text, type, name->out());
  if (GSS_ERROR(major)) {
    failure = gss::failureText(major, minor);
    return gss::securityStatus(major);
  }
  failure.clear();
  initiator = std::make_unique<GssInitiator>(std::move(name));
  return kSecOk;
}

}  // namespace platform
