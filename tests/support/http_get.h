// Test support: one plain HTTP request over loopback and the whole answer.
#pragma once
#include <cstdint>
#include <string>

namespace testsupport {

// Sends `requestLine` ("GET /x HTTP/1.1") with a Host header to 127.0.0.1:port from the local
// address `source` (host order) and returns everything until the server closes or 10 s pass;
// "connect failed" when it cannot connect.
std::string httpRequest(int port, const std::string& requestLine, uint32_t source = 0x7F000001);

}  // namespace testsupport
