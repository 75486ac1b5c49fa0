// Test support: a throw-away Kerberos realm on 127.0.0.1, the way Kerberos' own test suites
// make one: krb5.conf and kdc.conf in a temporary directory, a fresh database, principals
// with passwords or random keys, keytabs, and a KDC (krb5kdc) on a free port. Nothing outside
// the directory is read or written: every Kerberos program runs with KRB5_CONFIG and
// KRB5_KDC_PROFILE pointing into it, set for that program only.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "child.h"

namespace testsupport {

// One realm and its running KDC. The destructor stops the KDC (it is a Child), so a failing
// test leaves no KDC behind. Used from the test's thread only.
class KerberosRealm {
 public:
  // The clock skew every program of the realm allows: a ticket counts as expired this long
  // after its end.
  static constexpr int kClockSkewSeconds = 1;

  // Creates the realm `name` (upper case by convention) and starts its KDC; started() tells
  // whether that worked and failure() why not.
  explicit KerberosRealm(const std::string& name);
  ~KerberosRealm();
  KerberosRealm(const KerberosRealm&) = delete;
  KerberosRealm& operator=(const KerberosRealm&) = delete;

  bool started() const { return kdc_ != nullptr; }
  const std::string& failure() const { return failure_; }
  const std::string& name() const { return name_; }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // KRB5_CONFIG and KRB5_KDC_PROFILE of this realm, for a process that uses it.
  std::vector<std::string> env() const;

  // Adds `principal` with `password`, or with a random key when `password` is empty.
  bool addPrincipal(const std::string& principal, const std::string& password = "");
  // Writes the keys of `principal` to the keytab file `path`.
  bool exportKeytab(const std::string& principal, const std::string& path);
  // Gets a ticket-granting ticket for `principal` with `password` into the credential cache
  // file `ccache`, for `lifetime` (kinit's form, "3s"; empty: the realm's maximum).
  RunResult kinit(const std::string& principal, const std::string& password,
                  const std::string& ccache, const std::string& lifetime = "");
  // Runs one kadmin.local query against the database.
  RunResult admin(const std::string& query);

 private:
  // Runs `argv` with this realm's environment (plus `extraEnv`), `input` on its stdin.
  RunResult runHere(const std::vector<std::string>& argv, const std::string& input = "",
                    const std::vector<std::string>& extraEnv = {});
  bool start();

  std::string name_;
  TempDir dir_;
  int port_ = 0;
  std::string failure_;
  std::unique_ptr<Child> kdc_;
};

}  // namespace testsupport
