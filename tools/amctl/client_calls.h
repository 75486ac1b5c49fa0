// What amctl's commands share: reading a reply to its end, the agent parameter, the value
// forms of reply elements and the raw-deflate chunks of file replies.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "adt/text.h"
#include "amclient/amclient.h"
#include "output.h"

namespace amctl {

// Opens and logs in one more connection to the same manager.
using Reconnect = std::function<std::unique_ptr<amclient::Connection>()>;

// Inflates one raw deflate stream (window bits -15), at most 64 MiB of output.
std::string inflateRaw(const adt::Bytes& packed);
// A whole decimal number; false for anything else.
bool parseNumber(const std::string& text, long long& out);
// The agent parameter: "id:<identifier>" names the agent by identifier, anything else by name.
amclient::Element agentParam(const std::string& agent);
// An 8-byte element as a double (0 for another size).
double asDouble(const amclient::Element& e);
// A 4- or 8-byte element as an integer (0 for another size).
int64_t asInteger(const amclient::Element& e);
// Reads everything up to the close and turns an error reply into a Failure.
amclient::Reply finish(amclient::Connection& c);
// Fails with kNoAnswer when the reply lacks element `tag`.
void requireElement(const amclient::Reply& reply, uint8_t tag, const char* what);

// A reply of samples, each opened by element 1 (its time): one record per sample, the other
// elements of a sample added by `fill`; the count goes on top.
Result samplesResult(const amclient::Reply& reply,
                     const std::function<void(Record&, const amclient::Element&)>& fill);

}  // namespace amctl
