// amctl's "updates" command: lists, uploads and changes the files of the manager's update store.
#pragma once
#include <string>
#include <vector>

#include "amclient/amclient.h"
#include "output.h"

namespace amctl {

// Runs "updates <sub-command> ..." (`args` without the word "updates") on a connection that is
// logged in as needed. Throws Failure for wrong arguments and error replies.
Result updatesCommand(const std::vector<std::string>& args, amclient::Connection& c);

}  // namespace amctl
