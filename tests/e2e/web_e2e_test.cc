// The web front of the real am: the page, the JSON list of agents and the refusals.
#include <gtest/gtest.h>

#include "am_home.h"
#include "http_get.h"

namespace {

using namespace std::chrono_literals;

std::string httpGet(int port, const std::string& requestLine) {
  return testsupport::httpRequest(port, requestLine);
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
