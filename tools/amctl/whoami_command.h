// amctl whoami: integrated sign-in through the manager (request 130). The user's Kerberos
// ticket is offered to the manager, which answers with the account name it proved.
#pragma once
#include <string>
#include <vector>

#include "amclient/amclient.h"
#include "output.h"

namespace amctl {

// Runs the exchange with `args` ("--negotiate", "--service <name>") on `c` toward the manager
// at `host`; the account name goes to field "account". Throws Failure.
Result whoamiCommand(const std::vector<std::string>& args, const std::string& host,
                     amclient::Connection& c);

}  // namespace amctl
