// The web front of the real am: the page, the JSON list of agents and the refusals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "am_home.h"

namespace {

using namespace std::chrono_literals;

// One request, the whole answer (until the server closes or 10 s pass).
std::string httpGet(int port, const std::string& requestLine) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return "connect failed";
  }
  const std::string request = requestLine + "\r\nHost: 127.0.0.1\r\n\r\n";
  (void)!write(fd, request.data(), request.size());
  std::string answer;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

TEST(WebE2E, PageListAndRefusals) {
  testsupport::AmHome home(AM_BUILD_DIR "/am");
  ASSERT_TRUE(home.ready());
  const int http = testsupport::freeTcpPort();
  // Settings files are Windows-1251 on disk.
  home.writeIni("[agent]\nname=Склад \"A\"\napplication=web\nhttp_port=" +
                    std::to_string(testsupport::freeTcpPort()) +
                    "\ncmd=/bin/true\n"
                    "[agent]\nname=Hidden\ncmd=/bin/true\n",
                "http_port=" + std::to_string(http) + "\nwelcome=Добро пожаловать\n");
  ASSERT_TRUE(home.startConsole()) << home.console().output();
  testsupport::Child& am = home.console();

  const std::string page = httpGet(http, "GET / HTTP/1.1");
  EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page.substr(0, 200);
  EXPECT_NE(page.find("ОРВО"), std::string::npos);

  const std::string list = httpGet(http, "GET /list/_ HTTP/1.1");
  EXPECT_EQ(list.rfind("HTTP/1.1 200", 0), 0u) << list;
  EXPECT_NE(list.find("Склад \\\"A\\\""), std::string::npos) << list;  // escaped, UTF-8
  EXPECT_EQ(list.find("Hidden"), std::string::npos) << list;           // no web port: not listed
  EXPECT_NE(list.find("Добро пожаловать"), std::string::npos) << list;

  EXPECT_EQ(httpGet(http, "POST / HTTP/1.1").rfind("HTTP/1.1 405", 0), 0u);
  EXPECT_EQ(httpGet(http, "GET /nothing-here HTTP/1.1").rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(httpGet(http, "GET /icons/../am.ini HTTP/1.1").rfind("HTTP/1.1 403", 0), 0u);

  am.write("q\n");
  ASSERT_TRUE(am.waitExit(60s)) << am.output();
  EXPECT_EQ(am.exitCode(), 0);
}

}  // namespace
