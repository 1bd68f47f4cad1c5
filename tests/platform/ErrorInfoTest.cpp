#include <gtest/gtest.h>
#include <korvane/ComHelpers.h>

#include <thread>

using korvane::Bstr;
using korvane::ComPtr;

namespace {

constexpr GUID kIid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

void SetDescription(const char* text) {
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(CreateErrorInfo(create.Receive()), S_OK);
  Bstr d(text), src("Korvane.Korvane.1"), help("Korvane.chm");
  create->SetGUID(kIid);
  create->SetSource(d.get() ? src.get() : nullptr);
  create->SetDescription(d.get());
  create->SetHelpFile(help.get());
  create->SetHelpContext(3);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(create.As(info), S_OK);
  ASSERT_EQ(SetErrorInfo(0, info.get()), S_OK);
}

std::string TakeDescription(HRESULT* hr = nullptr) {
  ComPtr<IErrorInfo> info;
  HRESULT r = GetErrorInfo(0, info.Receive());
  if (hr) *hr = r;
  if (!info) return "<none>";
  Bstr d;
  info->GetDescription(d.Receive());
  return d.Narrow();
}

}  // namespace

TEST(ErrorInfo, FieldsSurviveAndGetClears) {
  SetDescription("Korvane: Unknown resource.");
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Receive()), S_OK);
  ASSERT_TRUE(info);
  GUID g;
  Bstr src, desc, help;
  DWORD ctx = 0;
  EXPECT_EQ(info->GetGUID(&g), S_OK);
  EXPECT_TRUE(IsEqualGUID(g, kIid));
  info->GetSource(src.Receive());
  info->GetDescription(desc.Receive());
  info->GetHelpFile(help.Receive());
  info->GetHelpContext(&ctx);
  EXPECT_EQ(src.Narrow(), "Korvane.Korvane.1");
  EXPECT_EQ(desc.Narrow(), "Korvane: Unknown resource.");
  EXPECT_EQ(help.Narrow(), "Korvane.chm");
  EXPECT_EQ(ctx, 3u);

  ComPtr<IErrorInfo> again;
  EXPECT_EQ(GetErrorInfo(0, again.Receive()), S_FALSE);  // taken by the first read
  EXPECT_FALSE(again);
}

TEST(ErrorInfo, PerThreadAndClearedByNull) {
  SetDescription("main thread");
  std::string seen;
  HRESULT otherHr = E_FAIL;
  std::thread([&] {
    seen = TakeDescription(&otherHr);
    SetDescription("worker");  // must not leak into the main thread
  }).join();
  EXPECT_EQ(otherHr, S_FALSE);
  EXPECT_EQ(seen, "<none>");
  EXPECT_EQ(TakeDescription(), "main thread");

  SetDescription("stale");
  EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
  EXPECT_EQ(TakeDescription(), "<none>");
}
