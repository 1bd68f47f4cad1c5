#include "ivic/RepCapSelector.h"
#include "ivic/SessionStore.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <korvane/KorvaneErrors.h>

using namespace korvane;
using namespace korvane::ivic;

namespace {

using Names = std::vector<std::string>;

struct Parsed {
  ViStatus status;
  SelectorLevels levels;
  std::string text;
};

Parsed Parse(ViConstString selector) {
  IviSession_ClearError(VI_NULL);
  Parsed p{};
  p.status = ParseRepCapSelector(VI_NULL, selector, p.levels);
  char buf[256] = {};
  ViStatus code = 0;
  IviSession_GetError(VI_NULL, sizeof buf, &code, buf);
  p.text = buf;
  return p;
}

// Items are counted objects; the collection knows them by name and describes unknown names.
class Item final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    *ppv = IsEqualIID(riid, IID_IUnknown) ? this : nullptr;
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
};

class Collection final : public IRepCapCollection {
 public:
  HRESULT Item(BSTR name, IUnknown** item) override {
    *item = nullptr;
    lookedUp.push_back(ToNarrow(name));
    auto it = items.find(lookedUp.back());
    if (it == items.end()) {
      ComPtr<ICreateErrorInfo> create;
      CreateErrorInfo(create.Receive());
      create->SetDescription(const_cast<LPOLESTR>(OLESTR("Korvane: Unknown name in selector.")));
      ComPtr<IErrorInfo> info;
      create.As(info);
      SetErrorInfo(0, info.get());
      return hresult::UnknownNameInSelector;
    }
    it->second.AddRef();
    *item = &it->second;
    return S_OK;
  }
  std::map<std::string, class Item> items;
  Names lookedUp;
};

}  // namespace

TEST(RepCapSelector, ValidForms) {
  auto p = Parse("Channel2");
  ASSERT_EQ(VI_SUCCESS, p.status);
  EXPECT_EQ((SelectorLevels{{"Channel2"}}), p.levels);

  p = Parse(" CH1 - CH3 , Math_1 ,!!x9");
  ASSERT_EQ(VI_SUCCESS, p.status);
  EXPECT_EQ((SelectorLevels{{"CH1", "CH2", "CH3", "Math_1", "!!x9"}}), p.levels);

  p = Parse("Channel08-Channel10");
  ASSERT_EQ(VI_SUCCESS, p.status);
  EXPECT_EQ((SelectorLevels{{"Channel8", "Channel9", "Channel10"}}), p.levels) << "numbers lose leading zeros";

  p = Parse("1-3:Bus2");
  ASSERT_EQ(VI_SUCCESS, p.status);
  EXPECT_EQ((SelectorLevels{{"1", "2", "3"}, {"Bus2"}}), p.levels);

  p = Parse("CH4-CH4");
  ASSERT_EQ(VI_SUCCESS, p.status);
  EXPECT_EQ((SelectorLevels{{"CH4"}}), p.levels);
}

TEST(RepCapSelector, EachErrorCodeWithItsText) {
  const std::string range = "Invalid range specified in repeated capability selector.";
  const std::string badly = "The repeated capability selector is badly-formed.";
  const std::string levels = "Invalid or inconsistent number of levels specified in repeated capability selector.";
  const std::string required = "A channel name is required.";
  const struct {
    const char* selector;
    ViStatus status;
    const std::string& text;
  } cases[] = {
      {"CH3-CH1", IVI_ERROR_INVALID_RANGE_IN_SELECTOR, range},
      {"CH1-X3", IVI_ERROR_INVALID_RANGE_IN_SELECTOR, range},
      {"CH1-3", IVI_ERROR_INVALID_RANGE_IN_SELECTOR, range},
      {"CH1-CH99999999999", IVI_ERROR_INVALID_RANGE_IN_SELECTOR, range},
      {"CH1-CH100000", IVI_ERROR_INVALID_RANGE_IN_SELECTOR, range},
      {"CH1-", IVI_ERROR_BADLY_FORMED_SELECTOR, badly},
      {"-CH1", IVI_ERROR_BADLY_FORMED_SELECTOR, badly},
      {"CH1-CH2-CH3", IVI_ERROR_BADLY_FORMED_SELECTOR, badly},
      {"CH 1", IVI_ERROR_BADLY_FORMED_SELECTOR, badly},
      {"CH1,,CH2", IVI_ERROR_BADLY_FORMED_SELECTOR, badly},
      {"CH1.2", IVI_ERROR_BADLY_FORMED_SELECTOR, badly},
      {"CHA-CHB", IVI_ERROR_BADLY_FORMED_SELECTOR, badly},
      {"CH1:", IVI_ERROR_INVALID_NUMBER_OF_LEVELS_IN_SELECTOR, levels},
      {"CH1: :CH2", IVI_ERROR_INVALID_NUMBER_OF_LEVELS_IN_SELECTOR, levels},
      {"", IVI_ERROR_CHANNEL_NAME_REQUIRED, required},
      {"  ", IVI_ERROR_CHANNEL_NAME_REQUIRED, required},
      {nullptr, IVI_ERROR_CHANNEL_NAME_REQUIRED, required},
  };
  for (const auto& c : cases) {
    auto p = Parse(c.selector);
    EXPECT_EQ(c.status, p.status) << (c.selector ? c.selector : "(null)");
    EXPECT_EQ(c.text, p.text) << (c.selector ? c.selector : "(null)");
  }
}

TEST(RepCapSelector, StoreFailureReplacesTheSelectorCode) {
  ViSession vi = VI_NULL;
  ASSERT_EQ(VI_SUCCESS, IviSession_New(&vi));
  ASSERT_EQ(VI_SUCCESS, IviSession_Dispose(vi));
  SelectorLevels levels;
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, ParseRepCapSelector(vi, "CH1-", levels));
}

TEST(RepCapSelector, ResolvesTheFirstNameOfEachLevelAndReleasesOnFailure) {
  Collection c;
  c.items["Channel1"];
  c.items["Channel2"];
  RepCapItems items;
  ASSERT_EQ(VI_SUCCESS, ResolveRepCapItems(VI_NULL, "Channel2-Channel3:Channel1", c, IID_IUnknown, items));
  EXPECT_EQ((Names{"Channel2", "Channel1"}), c.lookedUp);
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(static_cast<IUnknown*>(&c.items["Channel2"]), items[0].get());
  items.clear();
  EXPECT_EQ(1u, c.items["Channel2"].refs);

  c.lookedUp.clear();
  IviSession_ClearError(VI_NULL);
  EXPECT_EQ(IVI_ERROR_UNKNOWN_NAME_IN_SELECTOR,
            ResolveRepCapItems(VI_NULL, "Channel1:Channel7", c, IID_IUnknown, items));
  EXPECT_TRUE(items.empty());
  EXPECT_EQ(1u, c.items["Channel1"].refs) << "the item of the first level is released";
  char text[128] = {};
  IviSession_GetError(VI_NULL, sizeof text, nullptr, text);
  EXPECT_STREQ("Korvane: Unknown name in selector.", text);

  const IID other = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(KORVANE_ERROR_UNMAPPED, ResolveRepCapItems(VI_NULL, "Channel1", c, other, items))
      << "an item without the interface is an unmapped failure";
  EXPECT_EQ(1u, c.items["Channel1"].refs);

  c.lookedUp.clear();
  EXPECT_EQ(IVI_ERROR_CHANNEL_NAME_REQUIRED, ResolveRepCapItems(VI_NULL, "", c, IID_IUnknown, items));
  EXPECT_TRUE(c.lookedUp.empty()) << "a bad selector reaches no collection";
}
