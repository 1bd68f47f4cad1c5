// The repeated capabilities of the root: which items a connected model has, how they are
// created and released with the session, and the Count / Name / Item members that find them.
#include "com/Objects.h"
#include "base/StringUtil.h"

#include <korvane/ModelTable.inc>

#include <new>

namespace korvane {

namespace {

constexpr std::string_view kChannels = "KorvaneChannel";
constexpr std::string_view kMeasurements = "KorvaneMeasurement";
constexpr std::string_view kDigitalChannels = "KorvaneDigitalChannel";
constexpr std::string_view kSerialBuses = "KorvaneSerialBus";
constexpr std::string_view kMathFunctions = "KorvaneMathFunction";
constexpr std::string_view kWaveGens = "KorvaneWaveGen";

// The instrument's count queries wait for a slow firmware that is still starting its options.
constexpr LONG kCountTimeoutMs = 10000;
// Counts beyond these are not an oscilloscope's: the reply is refused rather than turned into
// that many objects.
constexpr int kMaxAnalogChannels = 64;
constexpr int kMaxPods = 16;
constexpr int kMaxPodSize = 64;

// A new item held by the session's owner reference; client references from here on hold the root.
template <class T>
HRESULT CreateItem(CKorvaneSession& root, CChildItem& out) noexcept {
  T* object = new (std::nothrow) T();
  if (!object) return E_OUTOFMEMORY;
  object->AddOwnerReference();
  IUnknown* identity = nullptr;
  HRESULT hr = object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
  if (FAILED(hr)) {
    object->ReleaseOwnerReference();
    return hr;
  }
  // The owner reference keeps the item; with no owner set yet this release does not touch the root.
  identity->Release();
  object->SetOwner(root.RootObject());
  out = CChildItem(identity, object,
                   [](CRepCapItem* node) noexcept { static_cast<T*>(node)->ReleaseOwnerReference(); });
  return S_OK;
}

struct RepCapClass {
  std::string_view collection;
  HRESULT (*create)(CKorvaneSession& root, CChildItem& out) noexcept;
};

// Every repeated-capability class of the driver, in the order its collections are created.
constexpr RepCapClass kRepCapClasses[] = {
    {kChannels, &CreateItem<CKorvaneChannel>},
    {kMeasurements, &CreateItem<CKorvaneMeasurement>},
    {kDigitalChannels, &CreateItem<CKorvaneDigitalChannel>},
    {kSerialBuses, &CreateItem<CKorvaneSerialBus>},
    {kMathFunctions, &CreateItem<CKorvaneMathFunction>},
    {kWaveGens, &CreateItem<CKorvaneWaveGen>},
};

void AddNumbered(std::vector<std::string>& names, const char* prefix, int first, int count) {
  for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(first + i));
}

// The number an item's instrument commands use: the one its physical name ends with
// (Channel2 -> 2, DigitalChannel0 -> 0, DigitalPod2 -> 2).
int IndexOf(std::string_view name) noexcept {
  std::size_t at = name.size();
  while (at > 0 && name[at - 1] >= '0' && name[at - 1] <= '9') --at;
  int index = 0;
  for (char c : name.substr(at)) index = index * 10 + (c - '0');
  return index;
}

std::string_view AfterBangs(std::string_view name) noexcept {
  std::size_t at = name.find("!!");
  return at == std::string_view::npos ? name : name.substr(at + 2);
}

// The feature a refused collection member names: the collection interface without its prefix
// and revision, then the member ("DigitalChannels_get_Name").
std::string FeatureName(const CMemberInfo& m) {
  std::string_view iface = m.method.interfaceName ? m.method.interfaceName : "";
  for (std::string_view prefix : {"IKorvane", "IIviScope"}) {
    if (iface.substr(0, prefix.size()) == prefix) {
      iface.remove_prefix(prefix.size());
      break;
    }
  }
  while (!iface.empty() && iface.front() >= '0' && iface.front() <= '9') iface.remove_prefix(1);
  while (!iface.empty() && iface.back() >= '0' && iface.back() <= '9') iface.remove_suffix(1);
  return std::string(iface) + "_" + m.method.methodName;
}

std::string_view CollectionOf(const CMemberInfo& m) noexcept {
  return m.collection ? std::string_view(m.collection) : std::string_view();
}

}  // namespace

// ---- creation ----

std::vector<std::string> CKorvaneSession::ChildNames(std::string_view collection) {
  const Capabilities& caps = ModelCapabilities();
  const models::FamilyRow* family = nullptr;
  for (const models::FamilyRow& f : models::kFamilies)
    if (IsModelFamily(f.name)) family = &f;
  std::vector<std::string> names;
  // Measurements are taken on a channel's waveform: one measurement item per analog channel,
  // named like the channel, so that "Channel2" selects the same input in both collections.
  if (collection == kChannels || collection == kMeasurements) {
    AddNumbered(names, "Channel", 1, caps.analogChannels);
  } else if (collection == kDigitalChannels) {
    if (caps.digitalChannels > 0) {
      AddNumbered(names, "DigitalChannel", 0, caps.digitalChannels);
      AddNumbered(names, "DigitalPod", 1, family ? family->digitalPodNames : 2);
    }
  } else if (collection == kMathFunctions) {
    AddNumbered(names, "Math", 1, family ? family->mathFunctions : 2);
  } else if (collection == kWaveGens) {
    AddNumbered(names, "WaveGen", 1, family ? family->waveGenerators : 1);
  } else if (collection == kSerialBuses) {
    // A bus item decodes any protocol the instrument has, USB included.
    if (caps.AnySerialDecode() || caps.usbDecode) AddNumbered(names, "SerialBus", 1, family ? family->serialBuses : 2);
  }
  return names;
}

HRESULT CKorvaneSession::ReadChannelCounts() {
  IIoSession* io = IoSession();
  if (!io) return Reporter().NotInitialized();
  ScopedTimeout<IIoSession> timeout(*io);
  HRESULT hr = timeout.Set(kCountTimeoutMs);
  if (FAILED(hr)) return hr;

  auto query = [&](const char* command, int& value, int lowest, int highest) {
    value = 0;
    HRESULT result = io->FormattedQuery(command, "%d", &value);
    if (FAILED(result)) return result;
    if (value >= lowest && value <= highest) return S_OK;
    std::string elab = std::string(command) + " answered " + std::to_string(value) + ", not a count from " +
                       std::to_string(lowest) + " to " + std::to_string(highest) + ".";
    return Reporter().UnexpectedResponse(elab.c_str());
  };
  int analog = 0, pods = 0, podSize = 0;
  hr = query(":SYST:DATA:VAL? \"COUN:CHAN\"", analog, 1, kMaxAnalogChannels);
  if (SUCCEEDED(hr) && ModelCapabilities().mixedSignal) {
    hr = query(":SYST:DATA:VAL? \"COUN:POD\"", pods, 0, kMaxPods);
    if (SUCCEEDED(hr)) hr = query(":SYST:DATA:VAL? \"POD:SIZE\"", podSize, 0, kMaxPodSize);
  }
  HRESULT restored = timeout.Restore();
  if (FAILED(hr)) return hr;
  if (FAILED(restored)) return restored;
  SetChannelCounts(analog, pods * podSize);
  return S_OK;
}

HRESULT CKorvaneSession::CreateChildren() {
  ReleaseChildren();
  if (!Simulate()) {
    HRESULT hr = ReadChannelCounts();
    if (FAILED(hr)) return hr;
  }
  for (const RepCapClass& c : kRepCapClasses) {
    std::vector<std::string> names = ChildNames(c.collection);
    // Entered before the items exist, so that a failure half-way leaves them to ReleaseChildren.
    ChildList& list = childMap_[std::string(c.collection)];
    list.reserve(names.size());
    for (std::string& name : names) {
      CChildItem item;
      HRESULT hr = c.create(*this, item);
      if (FAILED(hr)) return hr;
      const int index = IndexOf(name);
      item.node->AttachTo(*this, std::move(name), index);
      list.push_back(std::move(item));
    }
  }
  return S_OK;
}

void CKorvaneSession::ReleaseChildren() noexcept {
  TextMap<ChildList> released;
  released.swap(childMap_);
  // An item a client still holds outlives the map; detached, it reports that it is not
  // initialised instead of reaching a session that no longer owns it.
  for (auto& entry : released)
    for (CChildItem& item : entry.second) item.node->Detach();
}

HRESULT CKorvaneSession::OnClosed() {
  HRESULT hr = RunClose();
  ClearEntries();
  ReleaseChildren();
  features_.clear();
  return hr;
}

const CKorvaneSession::ChildList* CKorvaneSession::Children(std::string_view collection) const noexcept {
  auto it = childMap_.find(collection);
  return it == childMap_.end() ? nullptr : &it->second;
}

// ---- names ----

std::string CKorvaneSession::ResolveName(std::string_view name) const {
  auto it = virtualNames_.find(name);
  if (it != virtualNames_.end()) name = it->second;
  return std::string(AfterBangs(name));
}

std::string CKorvaneSession::ClientName(const std::string& physical) const {
  for (const auto& [virtualName, target] : virtualNames_)
    if (AfterBangs(target) == physical) return virtualName;
  return physical;
}

// ---- collection members ----

HRESULT CKorvaneSession::CheckAvailable(const CMemberInfo& m) {
  if (CollectionOf(m) == kDigitalChannels && ModelCapabilities().digitalChannels <= 0)
    return Reporter().NotSupportedByModel(FeatureName(m).c_str());
  return S_OK;
}

HRESULT CKorvaneSession::CollectionMember(const CMemberInfo& m, LONG* val) {
  if (!val) return E_POINTER;
  *val = 0;
  HRESULT hr = CheckAvailable(m);
  if (FAILED(hr)) return hr;
  const ChildList* items = Children(CollectionOf(m));
  if (!items) return E_UNEXPECTED;
  *val = static_cast<LONG>(items->size());
  return S_OK;
}

HRESULT CKorvaneSession::CollectionMember(const CMemberInfo& m, LONG index, BSTR* val) {
  if (!val) return E_POINTER;
  *val = nullptr;
  HRESULT hr = CheckAvailable(m);
  if (FAILED(hr)) return hr;
  const ChildList* items = Children(CollectionOf(m));
  if (!items) return E_UNEXPECTED;
  const LONG count = static_cast<LONG>(items->size());
  if (index < 1 || index > count) {
    std::string elab = count == 0 ? std::string("The collection is empty.")
                                  : "Index must be from 1 to " + std::to_string(count) + ".";
    return Reporter().InvalidValue(m.method.methodName, "Index", index, "%d", elab.c_str());
  }
  Bstr name(ClientName((*items)[static_cast<std::size_t>(index - 1)].node->PhysicalName()));
  if (!name.get()) return E_OUTOFMEMORY;
  *val = name.Detach();
  return S_OK;
}

// The caller keeps its name string: COM callers free their own in-parameters.
HRESULT CKorvaneSession::CollectionItem(const CMemberInfo& m, BSTR name, void** val) {
  if (!val) return E_POINTER;
  *val = nullptr;
  HRESULT hr = CheckAvailable(m);
  if (FAILED(hr)) return hr;
  std::string wanted = ToNarrow(name);
  while (!wanted.empty() && IsBlank(wanted.back())) wanted.pop_back();
  const ChildList* items = Children(CollectionOf(m));
  if (!items) return E_UNEXPECTED;

  const CChildItem* found = nullptr;
  if (items->size() == 1 && wanted.empty()) {
    found = &items->front();
  } else {
    const std::string physical = ResolveName(wanted);
    for (const CChildItem& item : *items) {
      if (item.node->PhysicalName() == physical) {
        found = &item;
        break;
      }
    }
  }
  if (!found) return Reporter().UnknownPhysicalSelector();
  if (!m.target) return E_NOINTERFACE;
  return found->object->QueryInterface(*m.target, val);
}

}  // namespace korvane
