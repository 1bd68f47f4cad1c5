// The call frame on its own, with member records written here: the order of its steps, the
// call context, registration, pointer checks and the conversion of exceptions.
#include "core/CallFrame.h"
#include "core/ObjectNode.h"
#include "support/ScriptedIoSession.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::TakeErrorInfo;

constexpr IID kIidTest = {0x0BADF00D, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr const char* kValParam[] = {"val"};
constexpr const char* kPairParams[] = {"First", "Second"};
constexpr const char* kGuard[] = {"Bormo", "Avel", nullptr};

constexpr CMemberInfo Record(const char* method, MemberKind kind, bool simulated, const char* key,
                             const char* const* params, unsigned count, unsigned check, unsigned clear,
                             const char* const* families = nullptr, long long simInteger = 0,
                             bool needsConnection = true) {
  return CMemberInfo{{kIidTest, "ITest", method},
                     kind,
                     ImplKind::Hook,
                     needsConnection,
                     true,
                     simulated,
                     key,
                     params,
                     count,
                     check,
                     clear,
                     families,
                     nullptr,
                     simInteger,
                     0.0,
                     nullptr,
                     nullptr,
                     nullptr,
                     nullptr,
                     nullptr,
                     nullptr};
}

constexpr CMemberInfo kGetLevel = Record("get_Level", MemberKind::Get, true, "ITest.Level", kValParam, 1, 1, 1, kGuard,
                                         2000);
constexpr CMemberInfo kPutLevel = Record("put_Level", MemberKind::Put, true, "ITest.Level", kValParam, 1, 0, 0);
constexpr CMemberInfo kOuter = Record("Outer", MemberKind::Method, false, nullptr, nullptr, 0, 0, 0);
constexpr CMemberInfo kInner = Record("Inner", MemberKind::Method, false, nullptr, nullptr, 0, 0, 0);
constexpr CMemberInfo kPair = Record("Pair", MemberKind::Method, false, nullptr, kPairParams, 2, 3, 1);
constexpr CMemberInfo kOnce = Record("Once", MemberKind::Method, false, nullptr, nullptr, 0, 0, 0);
constexpr CMemberInfo kFree = Record("Free", MemberKind::Method, false, nullptr, nullptr, 0, 0, 0, nullptr, 0, false);

// The smallest object the frame accepts: a session that is its own node.
class TestObject : public CDriver, public CObjectNode {
 public:
  explicit TestObject(std::unique_ptr<IIoSession> io = nullptr) : CDriver(std::move(io)) {}
  CDriver* Session() noexcept { return this; }
  IErrorReporter& Reporter() noexcept { return *ErrorReporter(); }
  bool IsModelFamily(const char* family) noexcept override { return family_ == family; }
  HRESULT QueryInterface(REFIID, void**) { return E_NOINTERFACE; }

  std::string family_;
};

class Frame : public ::testing::Test {
 protected:
  HRESULT Connect(const char* options = "Simulate=1") {
    return object_.Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_FALSE, VARIANT_FALSE, Bstr(options));
  }
  // A getter whose implementation answers 7 and counts its calls.
  HRESULT GetLevel(LONG* val) {
    return frame::CallFrame<kGetLevel>(
        object_,
        [this](LONG* v) {
          ++implCalls_;
          *v = 7;
          return S_OK;
        },
        val);
  }
  HRESULT PutLevel(LONG val) {
    return frame::CallFrame<kPutLevel>(
        object_,
        [this](LONG) {
          ++implCalls_;
          return S_OK;
        },
        val);
  }

  TestObject object_;
  int implCalls_ = 0;
};

TEST_F(Frame, NotConnectedComesFirstAndTouchesNothing) {
  LONG val = 99;
  EXPECT_EQ(hresult::NotInitialized, GetLevel(&val));
  EXPECT_EQ(99, val);
  EXPECT_EQ(0, implCalls_);
  EXPECT_EQ(hresult::NotInitialized, GetLevel(nullptr));  // before the pointer check
  EXPECT_EQ(S_OK, frame::CallFrame<kFree>(object_, [] { return S_OK; }));
}

TEST_F(Frame, PointersAreCheckedInOrderAndOutValuesEmptied) {
  ASSERT_EQ(S_OK, Connect());
  auto pair = [&](LONG* first, BSTR* second) {
    return frame::CallFrame<kPair>(
        object_,
        [&](LONG* f, BSTR*) {
          EXPECT_EQ(0, *f);  // out-only: emptied before the implementation runs
          return S_OK;
        },
        first, second);
  };
  LONG first = 5;
  BSTR second = nullptr;
  EXPECT_EQ(hresult::NullPointer, pair(nullptr, nullptr));
  EXPECT_EQ("Korvane: Null pointer passed for method 'Pair', parameter 'First'.", TakeErrorInfo().description);
  EXPECT_EQ(hresult::NullPointer, pair(&first, nullptr));
  EXPECT_EQ("Korvane: Null pointer passed for method 'Pair', parameter 'Second'.", TakeErrorInfo().description);
  EXPECT_EQ(5, first);  // a refused call empties nothing
  EXPECT_EQ(S_OK, pair(&first, &second));
  EXPECT_EQ(0, first);
  EXPECT_EQ(hresult::NullPointer, GetLevel(nullptr));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("parameter 'val'"));
}

TEST_F(Frame, SimulationServesTheCacheWithoutTheImplementation) {
  ASSERT_EQ(S_OK, Connect());
  LONG val = 0;
  ASSERT_EQ(S_OK, GetLevel(&val));
  EXPECT_EQ(2000, val);
  ASSERT_EQ(S_OK, PutLevel(350));
  ASSERT_EQ(S_OK, GetLevel(&val));
  EXPECT_EQ(350, val);
  EXPECT_EQ(0, implCalls_);
  object_.InvalidateAll();
  ASSERT_EQ(S_OK, GetLevel(&val));
  EXPECT_EQ(2000, val);
}

TEST(FrameConnected, OutsideSimulationTheImplementationAnswers) {
  auto io = std::make_unique<test::ScriptedIoSession>();
  io->Expect("*IDN?", "Veltrane Instruments,DSO-BR70-2CH,SN0001,1.02.3");
  io->Expect("*OPT?", "SGM,MASK");
  io->Expect(":SYST:DATA:VAL? \"CHAN:BAND\"", "+7.0E+07");
  io->Expect(":SYST:DATA:VAL? \"CHAN:BWL\"", "+2.0E+07");
  TestObject object(std::move(io));
  ASSERT_EQ(S_OK, object.Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_FALSE, VARIANT_FALSE, Bstr("")));
  int calls = 0;
  auto get = [&](LONG* val) {
    return frame::CallFrame<kGetLevel>(
        object,
        [&](LONG* v) {
          ++calls;
          *v = 7;
          return S_OK;
        },
        val);
  };
  LONG val = 0;
  ASSERT_EQ(S_OK, get(&val));
  EXPECT_EQ(7, val);
  EXPECT_EQ(1, calls);
  EXPECT_EQ(0u, object.StateCache().Size());
}

TEST_F(Frame, ModelGuardRefusesBeforeSimulation) {
  ASSERT_EQ(S_OK, Connect());
  object_.family_ = "Avel";
  LONG val = 0;
  EXPECT_EQ(hresult::NotSupportedByModel, GetLevel(&val));
  auto info = TakeErrorInfo();
  EXPECT_EQ("Korvane: Instrument model does not support this feature: get_Level.", info.description);
  EXPECT_EQ(kIidTest, info.guid);
  object_.family_ = "Dovin";
  EXPECT_EQ(S_OK, GetLevel(&val));
}

TEST_F(Frame, WarningsAndTheirErrorInfoPassThrough) {
  ASSERT_EQ(S_OK, Connect());
  const HRESULT warning = static_cast<HRESULT>(0x3FFA4001);
  HRESULT hr = frame::CallFrame<kOuter>(object_, [&] {
    return object_.ErrorReporter()->ReportWithText(warning, "Korvane: A warning.");
  });
  EXPECT_EQ(warning, hr);
  EXPECT_EQ("Korvane: A warning.", TakeErrorInfo().description);

  // Stale error information from an earlier call is cleared on entry.
  object_.ErrorReporter()->ReportWithText(E_FAIL, "Korvane: Old.");
  EXPECT_EQ(S_OK, frame::CallFrame<kOuter>(object_, [] { return S_OK; }));
  EXPECT_FALSE(TakeErrorInfo().present);
}

TEST_F(Frame, NestedCallsNameTheInnermostMethod) {
  ASSERT_EQ(S_OK, Connect());
  const CMethodInfo* duringOuter = nullptr;
  HRESULT hr = frame::CallFrame<kOuter>(object_, [&] {
    HRESULT inner = frame::CallFrame<kInner>(object_,
                                             [&] { return object_.ErrorReporter()->MethodNotSupported(nullptr); });
    duringOuter = object_.CurrentCallContext();
    return inner;
  });
  EXPECT_EQ(hresult::MethodNotSupported, hr);
  EXPECT_EQ("Korvane: Does not support this class-compliant feature: method 'Inner'.", TakeErrorInfo().description);
  ASSERT_NE(nullptr, duringOuter);
  EXPECT_STREQ("Outer", duringOuter->methodName);
  EXPECT_EQ(nullptr, object_.CurrentCallContext());
}

TEST_F(Frame, MethodsRegisterOnFirstCall) {
  ASSERT_EQ(nullptr, CMethodRegistry::Find(kIidTest, "Once"));
  frame::CallFrame<kOnce>(object_, [] { return S_OK; });
  const std::size_t count = CMethodRegistry::Count();
  frame::CallFrame<kOnce>(object_, [] { return S_OK; });
  EXPECT_EQ(count, CMethodRegistry::Count());
  EXPECT_EQ(&kOnce.method, CMethodRegistry::Find(kIidTest, "Once"));
}

TEST_F(Frame, ExceptionsBecomeResultsAndTheSessionStaysUsable) {
  ASSERT_EQ(S_OK, Connect());
  EXPECT_EQ(E_OUTOFMEMORY, frame::CallFrame<kOuter>(object_, []() -> HRESULT { throw std::bad_alloc(); }));
  EXPECT_TRUE(TakeErrorInfo().present);
  EXPECT_EQ(E_UNEXPECTED, frame::CallFrame<kOuter>(object_, []() -> HRESULT { throw std::runtime_error("x"); }));
  EXPECT_EQ(nullptr, object_.CurrentCallContext());
  LONG val = 0;
  EXPECT_EQ(S_OK, GetLevel(&val));
}

TEST_F(Frame, TheObjectLockIsHeldForTheWholeCall) {
  ASSERT_EQ(S_OK, Connect());
  bool otherThreadGotIn = true;
  frame::CallFrame<kOuter>(object_, [&] {
    std::thread other([&] {
      otherThreadGotIn = object_.ObjectLock().TryEnter();
      if (otherThreadGotIn) object_.ObjectLock().Leave();
    });
    other.join();
    return S_OK;
  });
  EXPECT_FALSE(otherThreadGotIn);
  EXPECT_TRUE(object_.ObjectLock().TryEnter());  // and released afterwards
  object_.ObjectLock().Leave();
}

}  // namespace
}  // namespace korvane
