// Test support: a line of the password store for a user, made the way the manager checks it
// (the test links amclient, which holds the hash).
#pragma once
#include <string>

#include "amclient/amclient.h"
#include "data.h"

namespace testsupport {

// "<name>=<salt hex><hash hex>\n" with a fixed salt.
inline std::string passwordRecord(const std::string& name, const std::string& password) {
  const amclient::Salt salt{'0', '1', '2', '3', '4', '5', '6', '7'};
  const amclient::Digest hash = amclient::passwordHash(name, salt, password);
  return name + "=" + hexOf(salt.data(), salt.size()) + hexOf(hash.data(), hash.size()) + "\n";
}

}  // namespace testsupport
