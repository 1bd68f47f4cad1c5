// A COM client of the built library: it sees only the public headers and finds the root class
// by its ProgID, as any program would.
#include <korvane/KorvaneCom.h>

#include <gtest/gtest.h>

namespace {

template <typename T>
struct Held {
  T* p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
  void** Out() { return reinterpret_cast<void**>(&p); }
};

TEST(Client, CreatesTheRootByProgId) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  for (const OLECHAR* progId : {OLESTR("Korvane.Korvane"), OLESTR("Korvane.Korvane.1")}) {
    CLSID clsid = CLSID_NULL;
    ASSERT_EQ(S_OK, CLSIDFromProgID(progId, &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_Korvane, clsid));
    Held<IKorvane8> root;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IKorvane8, root.Out()));
    VARIANT_BOOL initialized = VARIANT_TRUE;
    EXPECT_EQ(S_OK, root.p->get_Initialized(&initialized));
    EXPECT_EQ(VARIANT_FALSE, initialized);
    Held<IIviDriver> driver;
    EXPECT_EQ(S_OK, root.p->QueryInterface(IID_IIviDriver, driver.Out()));
    EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  }
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  Held<IUnknown> channel;
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_KorvaneChannel, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, channel.Out()));
  CoUninitialize();
}

}  // namespace
