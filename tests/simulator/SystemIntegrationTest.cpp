// The system interface's raw access against the simulator, and what it does while simulating.
#include "SimRoot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

SAFEARRAY* Bytes(const std::string& text) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(text.size()));
  SafeArrayAccess<BYTE> data(sa);
  std::copy(text.begin(), text.end(), data.data());
  return sa;
}

std::string Text(SAFEARRAY* sa) {
  SafeArrayAccess<BYTE> data(sa);
  return std::string(data.data(), data.data() + data.size());
}

class SystemIo : public test::SimRootTest {
 protected:
  void SetUp() override {
    Connect({"--model", "MSO-CD1000"});
    sys4_ = Query<IKorvaneSystem4>(root_.get());
  }
  std::string ReadString() {
    Bstr reply;
    EXPECT_EQ(S_OK, sys4_->ReadString(reply.Receive())) << TakeErrorInfo().description;
    return reply.Narrow();
  }
  ComPtr<IKorvaneSystem4> sys4_;
};

TEST_F(SystemIo, RepliesComeBackWholeAndInOrderWithoutTheStatusCheck) {
  ASSERT_EQ(S_OK, sys4_->WriteString(Bstr("*IDN?"))) << TakeErrorInfo().description;
  const std::string idn = ReadString();
  EXPECT_NE(std::string::npos, idn.find("MSO-CD1000")) << idn;
  EXPECT_EQ(std::string::npos, idn.find('\n'));

  // Two replies wait; the first is read as bytes into a new array, the second as text.
  ASSERT_EQ(S_OK, sys4_->WriteString2(Bstr("*IDN?\n")));
  SafeArrayPtr query(Bytes(":TIM:SCAL?"));
  SAFEARRAY* slot = query.get();
  LONG count = -1;
  ASSERT_EQ(S_OK, sys4_->WriteBytes2(&slot, &count)) << TakeErrorInfo().description;
  EXPECT_EQ(10, count);
  slot = Bytes("left over");
  ASSERT_EQ(S_OK, sys4_->ReadBytes2(&slot, &count)) << TakeErrorInfo().description;
  SafeArrayPtr reply(slot);
  EXPECT_EQ(idn, Text(slot));
  EXPECT_EQ(static_cast<LONG>(idn.size()), count);
  EXPECT_GT(std::stod(ReadString()), 0);

  // The session checks the status after its own operations; a refused raw command still succeeds.
  ASSERT_EQ(S_OK, sys4_->WriteString(Bstr(":NOT:A:COMMAND"))) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, sys4_->WriteString(Bstr(":SYST:ERR?")));
  EXPECT_EQ('-', ReadString().front());

  // Bad input is refused before anything is sent; a device clear leaves the session in step.
  SAFEARRAYBOUND square[2] = {{2, 0}, {2, 0}};
  SafeArrayPtr matrix(SafeArrayCreate(VT_UI1, 2, square));
  slot = matrix.get();
  EXPECT_EQ(hresult::InvalidValue, sys4_->WriteBytes2(&slot, &count));
  const OLECHAR withNul[] = {'*', 'I', 0, 'D'};
  EXPECT_EQ(hresult::InvalidValue, sys4_->WriteString(Bstr(withNul, 4)));
  ASSERT_EQ(S_OK, sys4_->ClearIO());
  ASSERT_EQ(S_OK, sys4_->WriteString(Bstr("*IDN?")));
  EXPECT_EQ(idn, ReadString());
}

TEST_F(SystemIo, BothTimeoutsAreTheSessionsOneTimeoutClamped) {
  auto& sys4 = sys4_;
  LONG ms = 0;
  const std::pair<LONG, LONG> milliseconds[] = {{50, 200}, {99, 200}, {100, 100}, {-1, 200}, {4000, 4000}};
  for (auto [put, want] : milliseconds) {
    ASSERT_EQ(S_OK, sys4->put_TimeoutMilliseconds(put));
    ASSERT_EQ(S_OK, sys4->get_IOTimeout(&ms));
    EXPECT_EQ(want, ms) << put;
  }
  const std::pair<LONG, LONG> ioTimeouts[] = {{5, 10}, {9, 10}, {10, 10}, {11, 11}};
  for (auto [put, want] : ioTimeouts) {
    ASSERT_EQ(S_OK, sys4->put_IOTimeout(put));
    ASSERT_EQ(S_OK, sys4->get_TimeoutMilliseconds(&ms));
    EXPECT_EQ(want, ms) << put;
  }
}

TEST_F(SystemIo, SetUpReadBackRestoresTheSettings) {
  auto sys4 = sys4_;
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  ASSERT_EQ(S_OK, timebase->put_HorizontalScale(2e-6));
  SAFEARRAY* slot = Bytes("left over");
  ASSERT_EQ(S_OK, sys4->GetState(&slot)) << TakeErrorInfo().description;
  SafeArrayPtr setup(slot);
  EXPECT_NE("left over", Text(slot));
  ASSERT_EQ(S_OK, timebase->put_HorizontalScale(5e-3));
  ASSERT_EQ(S_OK, sys4->PutState(&slot)) << TakeErrorInfo().description;
  DOUBLE scale = 0;
  ASSERT_EQ(S_OK, timebase->get_HorizontalScale(&scale));
  EXPECT_DOUBLE_EQ(2e-6, scale);
  // A set-up the instrument did not make is its error, and changes nothing.
  SafeArrayPtr damaged(Bytes(Text(setup.get()).substr(0, 20)));
  slot = damaged.get();
  EXPECT_EQ(hresult::InstrumentErrorDetected, sys4->PutState(&slot));
  ASSERT_EQ(S_OK, timebase->get_HorizontalScale(&scale));
  EXPECT_DOUBLE_EQ(2e-6, scale);
}

TEST_F(SystemIo, DirectIoIsTheSessionsFormattedIoObject) {
  ComPtr<IFormattedIO488> first, second;
  ASSERT_EQ(S_OK, sys4_->get_DirectIO(first.Receive())) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, sys4_->get_DirectIO(second.Receive()));
  EXPECT_TRUE(first && first.get() == second.get());
}

TEST(SimulatedSystem, NothingIsSentReadsAreEmptyAndTheTimeoutIsKeptUntilClose) {
  ComInit com;
  ComPtr<IKorvane8> root;
  ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root.ReceiveVoid()));
  const Bstr resource("TCPIP0::192.0.2.7::INSTR"), options("Simulate=1");
  ASSERT_EQ(S_OK, root->Initialize(resource, VARIANT_FALSE, VARIANT_FALSE, options));
  auto sys4 = Query<IKorvaneSystem4>(root.get());
  EXPECT_EQ(S_OK, sys4->WriteString(Bstr("*RST")));
  Bstr text(std::string_view("stale"));
  ASSERT_EQ(S_OK, sys4->ReadString(text.Receive()));
  EXPECT_TRUE(text.get() && text.empty());
  SAFEARRAY* slot = Bytes("*RST;*CLS");
  LONG count = 0;
  EXPECT_EQ(S_OK, sys4->WriteBytes2(&slot, &count));
  EXPECT_EQ(9, count);
  EXPECT_EQ(S_OK, sys4->ReadBytes2(&slot, &count));
  EXPECT_EQ(0, count);
  EXPECT_EQ("", Text(slot));
  EXPECT_EQ(S_OK, sys4->GetState(&slot));
  SafeArrayPtr owned(slot);
  EXPECT_EQ("", Text(slot));
  EXPECT_EQ(S_OK, sys4->PutState(&slot));
  ComPtr<IFormattedIO488> direct;
  EXPECT_EQ(hresult::IoError, sys4->get_DirectIO(direct.Receive()));
  EXPECT_EQ("Korvane: I/O error: Direct I/O not available while Simulating.", TakeErrorInfo().description);

  LONG ms = 0;
  ASSERT_EQ(S_OK, sys4->get_TimeoutMilliseconds(&ms));
  EXPECT_EQ(2000, ms);
  ASSERT_EQ(S_OK, sys4->put_TimeoutMilliseconds(50));
  ASSERT_EQ(S_OK, sys4->get_IOTimeout(&ms));
  EXPECT_EQ(200, ms);
  ASSERT_EQ(S_OK, sys4->put_IOTimeout(5));
  ASSERT_EQ(S_OK, Query<IIviDriverOperation>(root.get())->InvalidateAllAttributes());
  ASSERT_EQ(S_OK, sys4->get_TimeoutMilliseconds(&ms));
  EXPECT_EQ(10, ms);
  ASSERT_EQ(S_OK, root->Close());
  ASSERT_EQ(S_OK, root->Initialize(resource, VARIANT_FALSE, VARIANT_FALSE, options));
  ASSERT_EQ(S_OK, sys4->get_TimeoutMilliseconds(&ms));
  EXPECT_EQ(2000, ms);
}

}  // namespace
}  // namespace korvane
