// KVScope_find_resources: a simulator announced over DNS-SD on 127.0.0.10 (asked by unicast,
// loopback only), the size protocol of the listing, and a refused expression.
#include <kvscope.h>

#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(AnsiCFind, ListsTheAnnouncedSimulatorWithTheSizeProtocol) {
  korvane::sim::test::SimProcess sim({"--bind", "127.0.0.10", "--port", "0", "--mdns", "Ansi", "--mdns-port", "0",
                                      "--serial", "ANSI-1"},
                                     2);
  const std::string mdns = sim.announced("mdns listening on ");
  ASSERT_FALSE(mdns.empty()) << sim.firstLine();
  const std::string socket = sim.firstLine().substr(sim.firstLine().rfind(':') + 1);
  const std::string options = "Interface=lo;Multicast=0;Timeout=300;DnsSd=" + mdns;

  std::size_t needed = 0;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_find_resources("?*SOCKET", options.c_str(), 0, nullptr, &needed));
  ASSERT_GT(needed, 1u);
  std::vector<char> small(8, '#');
  std::size_t again = 0;
  EXPECT_EQ(KVSCOPE_ERROR_BUFFER_TOO_SMALL,
            KVScope_find_resources("?*SOCKET", options.c_str(), small.size(), small.data(), &again));
  EXPECT_EQ(std::string(8, '#'), std::string(small.begin(), small.end()));  // nothing written unless it fits
  std::vector<char> text(needed + 64);
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_find_resources("?*SOCKET", options.c_str(), text.size(), text.data(), &needed));
  const std::string listing = text.data();
  EXPECT_EQ(listing.rfind("TCPIP0::127.0.0.10::" + socket + "::SOCKET\t", 0), 0u) << listing;
  EXPECT_NE(listing.find("\tANSI-1\t"), std::string::npos) << listing;
  EXPECT_NE(listing.find("\tdns-sd\t"), std::string::npos) << listing;
}

TEST(AnsiCFind, BadExpressionsAndOptionsSayWhy) {
  std::size_t needed = 0;
  for (const auto& [expr, options] : std::vector<std::pair<const char*, const char*>>{
           {"TCPIP(", "Interface=lo;Timeout=10"}, {"?*", "Interface=lo;Timeout=0"}, {"?*", "Colour=blue"}}) {
    SCOPED_TRACE(std::string(expr) + " / " + options);
    EXPECT_EQ(KVSCOPE_ERROR_INVALID_ARGUMENT, KVScope_find_resources(expr, options, 0, nullptr, &needed));
    std::string why(512, '\0');
    ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_last_error_message(KVSCOPE_INVALID_SESSION, why.size(), why.data(), &needed));
    EXPECT_NE(why.find("Invalid"), std::string::npos) << why;
  }
}

}  // namespace
