// The root object over TCP against the simulator: repeated capabilities sized from the
// instrument's own counts and options.
#include "com/Objects.h"
#include "support/TestSupport.h"
#include "io/VisaComSession.h"
#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace korvane {
namespace {

template <typename C>
LONG Count(IUnknown* root, REFIID iid) {
  ComPtr<C> collection;
  LONG count = -1;
  EXPECT_EQ(S_OK, root->QueryInterface(iid, collection.ReceiveVoid()));
  if (collection) {
    EXPECT_EQ(S_OK, collection->get_Count(&count)) << test::TakeErrorInfo().description;
  }
  return count;
}

TEST(RepCapsOverSocket, CollectionsFollowTheInstrument) {
  ComInit com;
  sim::test::SimProcess sim({"--port", "0", "--model", "MSO-CD1000"});
  ASSERT_GT(sim.port(), 0);
  ComPtr<IKorvane8> root;
  ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root.ReceiveVoid(), std::make_unique<cKorvaneVisaComSession>()));
  const std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(sim.port()) + "::SOCKET";
  ASSERT_EQ(S_OK, root->Initialize(Bstr(resource), VARIANT_TRUE, VARIANT_FALSE, Bstr("")))
      << test::TakeErrorInfo().description;

  EXPECT_EQ(4, Count<IKorvaneChannels>(root.get(), IID_IKorvaneChannels));
  EXPECT_EQ(4, Count<IIviScopeMeasurements>(root.get(), IID_IIviScopeMeasurements));
  EXPECT_EQ(18, Count<IKorvaneDigitalChannels>(root.get(), IID_IKorvaneDigitalChannels));
  EXPECT_EQ(2, Count<IKorvane2SerialBuses>(root.get(), IID_IKorvane2SerialBuses));
  ComPtr<IKorvaneDigitalChannels> digital;
  ASSERT_EQ(S_OK, root->QueryInterface(IID_IKorvaneDigitalChannels, digital.ReceiveVoid()));
  Bstr last;
  ASSERT_EQ(S_OK, digital->get_Name(18, last.Receive()));
  EXPECT_EQ("DigitalPod2", last.Narrow());
  EXPECT_EQ(S_OK, root->Close());
}

}  // namespace
}  // namespace korvane
