#include "kerberos_realm.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

// Debian installs the KDC programs in /usr/sbin and the user programs in /usr/bin.
std::string program(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
    const std::string path = dir + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return std::string();
}

bool acceptsTcp(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

KerberosRealm::KerberosRealm(const std::string& name) : name_(name), port_(freePort()) {
  const std::string port = std::to_string(port_);
  writeFile(file("krb5.conf"),
            "[libdefaults]\n"
            "  default_realm = " + name_ + "\n"
            "  dns_lookup_kdc = false\n"
            "  dns_lookup_realm = false\n"
            "  dns_canonicalize_hostname = false\n"
            "  rdns = false\n"
            "  clockskew = " + std::to_string(kClockSkewSeconds) + "\n"
            "  udp_preference_limit = 1\n"
            "[realms]\n"
            "  " + name_ + " = {\n"
            "    kdc = 127.0.0.1:" + port + "\n"
            "  }\n");
  writeFile(file("kdc.conf"),
            "[kdcdefaults]\n"
            "  kdc_listen = 127.0.0.1:" + port + "\n"
            "  kdc_tcp_listen = 127.0.0.1:" + port + "\n"
            "[realms]\n"
            "  " + name_ + " = {\n"
            "    database_name = " + file("principal") + "\n"
            "    key_stash_file = " + file("stash") + "\n"
            "    acl_file = " + file("kadm5.acl") + "\n"
            "    max_life = 1h\n"
            "    supported_enctypes = aes256-cts-hmac-sha1-96:normal\n"
            "  }\n"
            "[logging]\n"
            "  kdc = FILE:" + file("kdc.log") + "\n");
  if (!start()) kdc_.reset();
}

KerberosRealm::~KerberosRealm() = default;

std::vector<std::string> KerberosRealm::env() const {
  return {"KRB5_CONFIG=" + file("krb5.conf"), "KRB5_KDC_PROFILE=" + file("kdc.conf")};
}

RunResult KerberosRealm::runHere(const std::vector<std::string>& argv, const std::string& input,
                                 const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env = this->env();
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  RunResult r;
  Child child(argv, dir_.path(), env);
  if (!input.empty()) child.write(input);
  child.closeStdin();
  if (child.waitExit(60s)) r.exitCode = child.exitCode();
  r.output = child.output();
  return r;
}

bool KerberosRealm::start() {
  const std::string kdc = program("krb5kdc"), util = program("kdb5_util");
  if (kdc.empty() || util.empty() || program("kadmin.local").empty() || program("kinit").empty()) {
    failure_ = "krb5kdc, kdb5_util, kadmin.local or kinit is not installed (scripts/deps.sh)";
    return false;
  }
  const RunResult created =
      runHere({util, "create", "-s", "-r", name_, "-P", "master-" + name_});
  if (created.exitCode != 0) {
    failure_ = "kdb5_util create failed: " + created.output;
    return false;
  }
  kdc_ = std::make_unique<Child>(std::vector<std::string>{kdc, "-n", "-r", name_}, dir_.path(),
                                 env());
  const bool listening = waitUntil([&] { return kdc_->waitExit(0ms) || acceptsTcp(port_); }, 30s);
  if (!listening || kdc_->exited()) {
    failure_ = "krb5kdc did not start on 127.0.0.1:" + std::to_string(port_) + ": " +
               kdc_->output() + readFile(file("kdc.log"));
    return false;
  }
  return true;
}

RunResult KerberosRealm::admin(const std::string& query) {
  return runHere({program("kadmin.local"), "-r", name_, "-q", query});
}

bool KerberosRealm::addPrincipal(const std::string& principal, const std::string& password) {
  const RunResult r = admin(password.empty() ? "addprinc -randkey " + principal
                                             : "addprinc -pw " + password + " " + principal);
  return r.exitCode == 0 && r.output.find("created") != std::string::npos;
}

bool KerberosRealm::exportKeytab(const std::string& principal, const std::string& path) {
  const RunResult r = admin("ktadd -k " + path + " " + principal);
  return r.exitCode == 0 && r.output.find("added to keytab") != std::string::npos;
}

RunResult KerberosRealm::kinit(const std::string& principal, const std::string& password,
                               const std::string& ccache, const std::string& lifetime) {
  std::vector<std::string> argv{program("kinit")};
  if (!lifetime.empty()) argv.insert(argv.end(), {"-l", lifetime});
  argv.push_back(principal);
  return runHere(argv, password + "\n", {"KRB5CCNAME=FILE:" + ccache});
}

}  // namespace testsupport
