// The web page in a real browser: headless Chromium loads the page from a running am and the
// page builds one tile per listed agent ("#_": every agent with a web port), linking to the
// agent's own web port.
#include <gtest/gtest.h>

#include <regex>

#include "am_home.h"

namespace {

using namespace std::chrono_literals;

TEST(BrowserE2E, PageShowsOneTilePerAgentWithItsLink) {
  testsupport::AmHome home(AM_BUILD_DIR "/am");
  ASSERT_TRUE(home.ready());
  const int http = testsupport::freeTcpPort();
  const int webA = testsupport::freeTcpPort();
  const int webB = testsupport::freeTcpPort();
  home.writeIni("[agent]\nname=Склад\ndescription=Учёт\nhttp_port=" + std::to_string(webA) +
                    "\ncmd=/bin/true\n[agent]\nname=Shop\nhttp_port=" + std::to_string(webB) +
                    "\ncmd=/bin/true\n[agent]\nname=NoWeb\ncmd=/bin/true\n",
                "http_port=" + std::to_string(http) + "\n");
  ASSERT_TRUE(home.startConsole()) << home.console().output();
  testsupport::Child& am = home.console();

  testsupport::TempDir profile;
  const auto browser = testsupport::run(
      {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
       "--no-first-run", "--disable-background-networking", "--disable-component-update",
       "--disable-sync", "--user-data-dir=" + profile.path(), "--virtual-time-budget=5000",
       "--dump-dom", "http://127.0.0.1:" + std::to_string(http) + "/#_"},
      "", 120s);
  ASSERT_EQ(browser.exitCode, 0) << browser.output;
  const std::string& dom = browser.output;

  std::vector<std::string> names;
  static const std::regex tile(R"re(<a class="tile"[^>]*data-name="([^"]*)"[^>]*>)re");
  for (std::sregex_iterator it(dom.begin(), dom.end(), tile), end; it != end; ++it) {
    names.push_back((*it)[1]);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Склад", "Shop"})) << dom;
  EXPECT_NE(dom.find("href=\"http://127.0.0.1:" + std::to_string(webA) + "\""), std::string::npos)
      << dom;
  EXPECT_NE(dom.find("href=\"http://127.0.0.1:" + std::to_string(webB) + "\""), std::string::npos);
  EXPECT_NE(dom.find("title=\"Учёт\""), std::string::npos);
  EXPECT_EQ(dom.find("NoWeb"), std::string::npos);

  am.write("q\n");
  ASSERT_TRUE(am.waitExit(60s)) << am.output();
}

}  // namespace
