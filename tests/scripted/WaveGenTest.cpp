// Arbitrary waveform data against a scripted instrument: the exact command text of the values,
// and the calls refused with nothing sent.
#include "com/Objects.h"
#include "support/ScriptedIoSession.h"
#include "ScriptedRoot.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

constexpr HRESULT kNotSupportedByModel = hresult::NotSupportedByModel;

template <typename T>
SafeArrayPtr Vector(VARTYPE vt, const std::vector<T>& values) {
  SafeArrayPtr sa(SafeArrayCreateVector(vt, 0, static_cast<ULONG>(values.size())));
  void* data = nullptr;
  if (sa.get() && SUCCEEDED(SafeArrayAccessData(sa.get(), &data))) {
    std::memcpy(data, values.data(), values.size() * sizeof(T));
    SafeArrayUnaccessData(sa.get());
  }
  return sa;
}

class ArbitraryData : public ::testing::Test {
 protected:
  // A connected model, not simulating, no status checks.
  void Connect(const char* model) {
    auto io = std::make_unique<test::ScriptedIoSession>();
    io_ = io.get();
    io_->ExpectConnect(model, "SGM,MASK,WAVEGEN", "4", "+1.0E+09");
    ASSERT_NO_FATAL_FAILURE(test::InitializeScripted(std::move(io), root_));
  }

  ComPtr<IKorvaneWaveGenArbitrary> Generator(const char* name) {
    auto gens = Query<IKorvaneWaveGens>(root_.get());
    ComPtr<IKorvaneWaveGen> gen;
    EXPECT_EQ(S_OK, gens->get_Item(Bstr(name), gen.Receive()));
    return gen ? Query<IKorvaneWaveGenArbitrary>(gen.get()) : nullptr;
  }

  ComInit com_;
  test::ScriptedIoSession* io_ = nullptr;
  ComPtr<IKorvane8> root_;
};

TEST_F(ArbitraryData, ValuesAndDacCodesGoOutCommaSeparated) {
  Connect("DSO-CD1000");
  auto arb = Generator("WaveGen1");
  ASSERT_TRUE(arb);
  SafeArrayPtr values = Vector<double>(VT_R8, {0.5, -0.5, 0.123456789012345678});
  SafeArrayPtr codes = Vector<short>(VT_I2, {0, -8192, 8191});
  io_->Expect(":WGEN1:ARB:DATA 0.5,-0.5,0.123456789012346");
  io_->Expect(":WGEN1:ARB:DATA:DAC 0,-8192,8191");
  // The root's interface is the single generator: no number, as with its other members.
  io_->Expect(":WGEN:ARB:DATA 0.5,-0.5,0.123456789012346");
  io_->Expect(":WGEN:ARB:DATA:DAC 0,-8192,8191");
  SAFEARRAY* v = values.get();
  SAFEARRAY* c = codes.get();
  EXPECT_EQ(S_OK, arb->SetData(&v));
  EXPECT_EQ(S_OK, arb->SetDataDAC(&c));
  auto root = Query<IKorvaneWaveformGenerator2Arbitrary>(root_.get());
  EXPECT_EQ(S_OK, root->SetData(&v));
  EXPECT_EQ(S_OK, root->SetDataDAC(&c));
  EXPECT_TRUE(io_->AllConsumed());
  EXPECT_EQ(values.get(), v);  // in/out, but left as it was
}

TEST_F(ArbitraryData, RefusedWithNothingSent) {
  Connect("DSO-CD1000");
  auto arb = Generator("WaveGen1");
  ASSERT_TRUE(arb);
  // Wrong element type, wrong dimensions, no array: the caller's fault, before any I/O.
  SafeArrayPtr floats = Vector<float>(VT_R4, {0.5f});
  SafeArrayPtr doubles = Vector<double>(VT_R8, {0.5});
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  SafeArrayPtr matrix(SafeArrayCreate(VT_R8, 2, bounds));
  SAFEARRAY* wrong[] = {floats.get(), matrix.get(), nullptr};
  for (SAFEARRAY* p : wrong) {
    EXPECT_EQ(E_INVALIDARG, arb->SetData(&p));
    EXPECT_NE("", TakeErrorInfo().description);
  }
  SAFEARRAY* d = doubles.get();
  EXPECT_EQ(E_INVALIDARG, arb->SetDataDAC(&d));
  EXPECT_TRUE(io_->sent.empty());
  io_->Expect(":WGEN1:ARB:DATA 0.5");  // and the session goes on
  EXPECT_EQ(S_OK, arb->SetData(&d));

  // The compact families have no arbitrary waveforms.
  for (const char* model : {"DSO-BR70", "DSO-AV50"}) {
    Connect(model);
    auto root = Query<IKorvaneWaveformGenerator2Arbitrary>(root_.get());
    EXPECT_EQ(kNotSupportedByModel, Generator("WaveGen1")->SetData(&d)) << model;
    EXPECT_EQ(kNotSupportedByModel, root->SetDataDAC(&d)) << model;
    EXPECT_TRUE(io_->sent.empty()) << model;
  }
}

}  // namespace
}  // namespace korvane
