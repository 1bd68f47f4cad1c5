// A session through the C functions against the simulator over TCP: the whole stack from the
// exported functions down to the socket.
#include <Korvane.h>

#include "sim/SimProcess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
  EXPECT_STREQ("2.3.9.0", driverRev);
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

}  // namespace
