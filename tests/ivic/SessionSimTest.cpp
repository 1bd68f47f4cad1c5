// A session through the C functions against the simulator over TCP: the whole stack from the
// exported functions down to the socket.
#include <Korvane.h>

#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include <korvane/KorvaneVersion.h>

namespace {

using korvane::sim::test::SimProcess;

std::string TakeError() {
  ViStatus code = 0;
  char buf[512] = "";
  Korvane_GetError(VI_NULL, &code, sizeof buf, buf);
  return std::to_string(code) + " " + buf;
}

TEST(IvicOverSocket, InitQueriesAndCloseAgainstTheSimulator) {
  SimProcess sim({"--port", "0", "--model", "MSO-BR200"});
  ASSERT_GT(sim.port(), 0);
  std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(sim.port()) + "::SOCKET";

  ViSession vi = VI_NULL;
  ASSERT_EQ(VI_SUCCESS, Korvane_init(resource.data(), VI_TRUE, VI_TRUE, &vi)) << TakeError();
  ASSERT_NE(VI_NULL, vi);

  char driverRev[256] = "", instrRev[256] = "";
  EXPECT_EQ(VI_SUCCESS, Korvane_revision_query(vi, driverRev, instrRev));
  EXPECT_STREQ(KORVANE_DRIVER_REVISION, driverRev);
  EXPECT_NE(0u, std::strlen(instrRev));
  EXPECT_NE(0, std::strncmp(instrRev, "Sim", 3)) << "the instrument's own revision, not the simulated one";

  ViInt32 code = -1;
  char message[256] = "";
  EXPECT_EQ(VI_SUCCESS, Korvane_error_query(vi, &code, message));
  EXPECT_EQ(0, code) << message;
  ViInt16 result = -1;
  EXPECT_EQ(VI_SUCCESS, Korvane_self_test(vi, &result, message));
  EXPECT_EQ(0, result);
  EXPECT_STREQ("Selftest passed", message);
  EXPECT_EQ(VI_SUCCESS, Korvane_reset(vi));

  EXPECT_EQ(VI_SUCCESS, Korvane_close(vi));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, Korvane_close(vi));
}

// The waveform functions write the volts straight into the caller's array: a record the array
// holds whole, the same record cut to a shorter array, nothing for size 0; the kept block storage
// follows the record length down and up again.
TEST(IvicOverSocket, WaveformsLandInTheCallersArrayWholeOrCut) {
  SimProcess sim({"--port", "0", "--model", "MSO-CD1000", "--signal", "1:SIN:1000:0.5"});
  ASSERT_GT(sim.port(), 0);
  std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(sim.port()) + "::SOCKET";
  ViSession vi = VI_NULL;
  ASSERT_EQ(VI_SUCCESS, Korvane_InitWithOptions(resource.data(), VI_FALSE, VI_FALSE, "", &vi)) << TakeError();
  constexpr double kUntouched = 1e300;
  for (ViInt32 points : {1000, 100, 2000}) {
    SCOPED_TRACE(points);
    ASSERT_EQ(VI_SUCCESS, Korvane_SetAttributeViInt32(vi, "", KORVANE_ATTR_WAVEFORM_POINT_COUNT, points));
    std::vector<ViReal64> whole(static_cast<std::size_t>(points) + 3, kUntouched);
    ViInt32 n = -1;
    ViReal64 x0 = 0, dx = 0;
    ASSERT_EQ(VI_SUCCESS, Korvane_ReadWaveform(vi, "Channel1", points + 3, 5000, whole.data(), &n, &x0, &dx))
        << TakeError();
    ASSERT_EQ(n, points);
    EXPECT_GT(dx, 0);
    EXPECT_EQ(whole[static_cast<std::size_t>(points)], kUntouched);
    double low = whole[0], high = whole[0];
    for (ViInt32 k = 0; k < n; ++k) {
      low = std::min(low, whole[static_cast<std::size_t>(k)]);
      high = std::max(high, whole[static_cast<std::size_t>(k)]);
    }
    EXPECT_GT(high - low, 0.5) << "a sine, not a constant";
    EXPECT_LT(high - low, 2.0);

    std::vector<ViReal64> cut(10, kUntouched);
    ASSERT_EQ(VI_SUCCESS, Korvane_FetchWaveform(vi, "Channel1", 7, cut.data(), &n, &x0, &dx)) << TakeError();
    EXPECT_EQ(n, 7);
    EXPECT_EQ(std::vector<ViReal64>(cut.begin(), cut.begin() + 7),
              std::vector<ViReal64>(whole.begin(), whole.begin() + 7));
    EXPECT_EQ(cut[7], kUntouched);
    ASSERT_EQ(VI_SUCCESS, Korvane_FetchWaveform(vi, "Channel1", 0, cut.data() + 7, &n, &x0, &dx)) << TakeError();
    EXPECT_EQ(n, 0);
    EXPECT_EQ(cut[7], kUntouched);
  }
  EXPECT_EQ(VI_SUCCESS, Korvane_close(vi));
}

}  // namespace
