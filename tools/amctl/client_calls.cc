#include "client_calls.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "adt/text.h"
#include "amctl.h"

namespace amctl {

// Inflates one raw deflate stream (window bits -15), at most 64 MiB of output.
std::string inflateRaw(const adt::Bytes& packed) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) fail(kRefused, "inflateInit2 failed");
  std::string out;
  z.next_in = const_cast<Bytef*>(packed.data());
  z.avail_in = static_cast<uInt>(packed.size());
  int r = Z_OK;
  char buffer[65536];
  while (r != Z_STREAM_END && out.size() < (64u << 20)) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    r = inflate(&z, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END) break;
    out.append(buffer, sizeof buffer - z.avail_out);
    if (r == Z_OK && z.avail_in == 0 && z.avail_out != 0) break;
  }
  inflateEnd(&z);
  if (r != Z_OK && r != Z_STREAM_END) fail(kRefused, "сжатые данные повреждены");
  return out;
}

bool parseNumber(const std::string& text, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0';
}


// The agent parameter: "id:<identifier>" names the agent by identifier, anything else by name.
amclient::Element agentParam(const std::string& agent) {
  if (agent.rfind("id:", 0) == 0) return amclient::Element::text(51, agent.substr(3));
  return amclient::Element::text(54, agent);
}


double asDouble(const amclient::Element& e) {
  double d = 0;
  if (e.value.size() == sizeof d) std::memcpy(&d, e.value.data(), sizeof d);
  return d;
}

int64_t asInteger(const amclient::Element& e) {
  if (e.value.size() == 8) {
    int64_t v = 0;
    std::memcpy(&v, e.value.data(), sizeof v);
    return v;
  }
  return e.value.size() == 4 ? e.asInt() : 0;
}


// Reads everything up to the close and turns an error reply into a Failure.
amclient::Reply finish(amclient::Connection& c) {
  amclient::Reply reply = c.readUntilClosed();
  if (reply.failed) {
    fail(exitCodeFor(reply.errorCode),
         reply.errorCode ? adt::format("%s [0x%X]", reply.errorText.c_str(), reply.errorCode)
                         : reply.errorText);
  }
  return reply;
}

void requireElement(const amclient::Reply& reply, uint8_t tag, const char* what) {
  if (!reply.find(tag)) fail(kNoAnswer, std::string("менеджер не ответил: ") + what);
}


// A reply of samples, each opened by element 1 (its time): one record per sample, the other
// elements of a sample added by `fill`; the count goes on top.
Result samplesResult(const amclient::Reply& reply,
                     const std::function<void(Record&, const amclient::Element&)>& fill) {
  Result result;
  result.listName = "samples";
  for (const amclient::Element& e : reply.elements) {
    if (e.tag == 1) {
      result.records.emplace_back();
      result.records.back().time("time", asDouble(e));
    } else if (!result.records.empty()) {
      fill(result.records.back(), e);
    }
  }
  result.top.number("samples", static_cast<int64_t>(result.records.size()));
  return result;
}

}  // namespace amctl
