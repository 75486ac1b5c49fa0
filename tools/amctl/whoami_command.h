// amctl whoami: integrated sign-in through the manager (request 130). The user's Kerberos
// ticket is offered to the manager, which answers with the account name it proved.
#pragma once
#include <string>
#include <vector>

#include "amclient/amclient.h"
#include "output.h"

namespace amctl {

// The service that `args` ("--negotiate", "--service <name>") name for the manager at
// `host`: "host@<host>" unless --service says otherwise. Throws Failure(kUsage).
std::string whoamiService(const std::vector<std::string>& args, const std::string& host);

// Runs the exchange with `service` on `c`; the account name goes to field "account". Throws
// Failure.
Result whoamiCommand(const std::string& service, amclient::Connection& c);

}  // namespace amctl
