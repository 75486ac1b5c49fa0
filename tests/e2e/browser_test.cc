// The web page in a real browser: headless Chromium loads the page from a running am and the
// page builds one tile per listed agent ("#_": every agent with a web port), linking to the
// agent's own web port.
#include <gtest/gtest.h>

#include <regex>

#include "adt/text.h"
#include "child.h"

namespace {

using namespace std::chrono_literals;

TEST(BrowserE2E, PageShowsOneTilePerAgentWithItsLink) {
  testsupport::TempDir dir;
  ASSERT_EQ(testsupport::run({"/bin/cp", AM_BUILD_DIR "/am", dir.file("am")}).exitCode, 0);
  const int http = testsupport::freeTcpPort();
  const int webA = testsupport::freeTcpPort();
  const int webB = testsupport::freeTcpPort();
  testsupport::writeFile(
      dir.file("am.ini"),
      adt::toCp1251("[common]\nclient_port=" + std::to_string(testsupport::freePort()) +
                    "\nagent_port=" + std::to_string(testsupport::freePort()) +
                    "\nhttp_port=" + std::to_string(http) +
                    "\n[agent]\nname=Склад\ndescription=Учёт\nhttp_port=" + std::to_string(webA) +
                    "\ncmd=/bin/true\n[agent]\nname=Shop\nhttp_port=" + std::to_string(webB) +
                    "\ncmd=/bin/true\n[agent]\nname=NoWeb\ncmd=/bin/true\n"));
  testsupport::Child am({dir.file("am"), "--console"});
  ASSERT_TRUE(am.waitForOutput("\n> ", 30s)) << am.output();

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
