// The COM object base: identity, the interface list, the count. Natively and, cross-built,
// under Wine, where the real COM runtime hands these objects around.
#include "platform/ComObject.h"

#include <gtest/gtest.h>
#include <korvane/ComHelpers.h>

#include <atomic>
#include <thread>
#include <vector>

struct IShape : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Sides(LONG* n) = 0;
};
struct ISquare : IShape {
  virtual HRESULT STDMETHODCALLTYPE Side(LONG* n) = 0;
};
struct IColour : IShape {
  virtual HRESULT STDMETHODCALLTYPE Hue(LONG* n) = 0;
};
inline constexpr IID IID_IShape = {0x6D0B51E1, 0x2C57, 0x4E0A, {0x8B, 0x51, 0x3A, 0x9C, 0x07, 0x42, 0x11, 0x01}};
inline constexpr IID IID_ISquare = {0x6D0B51E1, 0x2C57, 0x4E0A, {0x8B, 0x51, 0x3A, 0x9C, 0x07, 0x42, 0x11, 0x02}};
inline constexpr IID IID_IColour = {0x6D0B51E1, 0x2C57, 0x4E0A, {0x8B, 0x51, 0x3A, 0x9C, 0x07, 0x42, 0x11, 0x03}};
KORVANE_IID_OF(IShape);
KORVANE_IID_OF(ISquare);
KORVANE_IID_OF(IColour);

namespace korvane {
namespace {

std::atomic<int> g_live{0};

// IShape is a base of both ISquare and IColour: answered as the ISquare.
class CSquare final : public ComObject<CSquare, ISquare, IColour, ISupportErrorInfo, Also<IShape, ISquare>> {
 public:
  explicit CSquare(bool coloured = true) : coloured_(coloured) { ++g_live; }
  bool Offers(REFIID riid) const noexcept { return coloured_ || !IsEqualIID(riid, IID_IColour); }

  HRESULT STDMETHODCALLTYPE Sides(LONG* n) override { return *n = 4, S_OK; }
  HRESULT STDMETHODCALLTYPE Side(LONG* n) override { return *n = 2, S_OK; }
  HRESULT STDMETHODCALLTYPE Hue(LONG* n) override { return *n = 120, S_OK; }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override { return SupportsErrorInfo(riid); }

 private:
  ~CSquare() override { --g_live; }
  bool coloured_;
};

class CForever final : public StaticComObject<CForever, IShape> {
 public:
  HRESULT STDMETHODCALLTYPE Sides(LONG* n) override { return *n = 0, S_OK; }
};

IUnknown* Identity(IUnknown* p) {
  IUnknown* unk = nullptr;
  EXPECT_EQ(S_OK, p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)));
  unk->Release();
  return unk;
}

TEST(ComObject, EveryInterfaceLeadsToOneIdentity) {
  ComPtr<ISquare> square;
  square.Attach(new CSquare());
  ComPtr<IColour> colour;
  ComPtr<IShape> shape;
  ComPtr<ISupportErrorInfo> errors;
  ASSERT_EQ(S_OK, square.As(colour));
  ASSERT_EQ(S_OK, colour.As(shape));
  ASSERT_EQ(S_OK, shape.As(errors));
  IUnknown* id = Identity(square.get());
  EXPECT_EQ(id, Identity(colour.get()));
  EXPECT_EQ(id, Identity(shape.get()));
  EXPECT_EQ(id, Identity(errors.get()));
  // The Also row hands out the ISquare's IShape, whose vtable the caller can use.
  EXPECT_EQ(static_cast<IShape*>(square.get()), shape.get());
  LONG n = 0;
  EXPECT_EQ(S_OK, shape->Sides(&n));
  EXPECT_EQ(4, n);
  EXPECT_EQ(S_OK, colour->Hue(&n));
  EXPECT_EQ(120, n);
  // Error information is described for the object's interfaces, not for itself or IUnknown.
  for (const IID* iid : {&IID_ISquare, &IID_IColour, &IID_IShape})
    EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(*iid));
  for (const IID* iid : {&IID_ISupportErrorInfo, &IID_IUnknown, &IID_IClassFactory})
    EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(*iid));
}

TEST(ComObject, RefusedQueriesLeaveNothingBehind) {
  ComPtr<ISquare> square;
  square.Attach(new CSquare(false));
  void* out = &out;
  EXPECT_EQ(E_NOINTERFACE, square->QueryInterface(IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, square->QueryInterface(IID_IShape, nullptr));
  ComPtr<IColour> colour;
  EXPECT_EQ(E_NOINTERFACE, square.As(colour));  // withheld by the object's own Offers
  EXPECT_FALSE(colour);
  // Neither the refusals nor the answers left a reference: the last Release destroys it.
  ComPtr<IShape> shape;
  ASSERT_EQ(S_OK, square.As(shape));
  shape.Reset();
  EXPECT_EQ(1, g_live.load());
  square.Reset();
  EXPECT_EQ(0, g_live.load());
}

TEST(ComObject, CountsAcrossThreadsAndCreate) {
  // Create hands out the asked interface, and destroys the object when there is none.
  void* out = nullptr;
  EXPECT_EQ(E_NOINTERFACE, CSquare::Create(IID_IColour, &out, false));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, g_live.load());
  ASSERT_EQ(S_OK, CSquare::Create(IID_IShape, &out));
  auto* shape = static_cast<IShape*>(out);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([shape] {
      for (int i = 0; i < 20000; ++i) {
        shape->AddRef();
        shape->Release();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, g_live.load());
  EXPECT_EQ(2u, shape->AddRef());
  EXPECT_EQ(1u, shape->Release());
  EXPECT_EQ(0u, shape->Release());
  EXPECT_EQ(0, g_live.load());

  // A static object ignores its count.
  static CForever forever;
  EXPECT_EQ(S_OK, forever.QueryInterface(IID_IShape, &out));
  static_cast<IShape*>(out)->Release();
  static_cast<IShape*>(out)->Release();
  LONG n = -1;
  EXPECT_EQ(S_OK, forever.Sides(&n));
  EXPECT_EQ(0, n);
}

TEST(ComObject, TryAddRefTakesOnlyLiveObjects) {
  auto* square = new CSquare();
  EXPECT_TRUE(square->TryAddRef());
  EXPECT_EQ(1u, static_cast<ISquare*>(square)->Release());
  ComRefCount gone(0);
  EXPECT_FALSE(gone.AddUnlessZero());
  static_cast<ISquare*>(square)->Release();
  EXPECT_EQ(0, g_live.load());
}

}  // namespace
}  // namespace korvane
