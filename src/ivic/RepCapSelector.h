// Repeated-capability selectors of the IVI-C functions: "Channel1", "Channel1-Channel3",
// "Channel1,Channel3", levels separated by ":". Parsing, then resolution of each level's first
// name through the collection that owns the items.
#pragma once

#include <Korvane.h>
#include <korvane/ComHelpers.h>

#include <string>
#include <vector>

namespace korvane::ivic {

using SelectorLevels = std::vector<std::vector<std::string>>;

// Splits and expands a selector. Errors are stored with the session: 0xBFFA0044 for an empty
// selector, 0xBFFA0063 for a level without names, 0xBFFA0064 for an inconsistent range,
// 0xBFFA0066 for a name of neither form.
ViStatus ParseRepCapSelector(ViSession vi, ViConstString selector, SelectorLevels& levels) noexcept;

// What resolution needs of a collection: its Item lookup by name, which applies the driver's
// own name rules (virtual names, qualified names) and reports unknown names itself.
class IRepCapCollection {
 public:
  virtual HRESULT Item(BSTR name, IUnknown** item) = 0;

 protected:
  ~IRepCapCollection() = default;
};

using RepCapItems = std::vector<ComPtr<IUnknown>>;

// One item per level, each queried for itemIid (IID_IUnknown: the item as the collection gave
// it). A failed lookup is reported through ToViStatus with the collection's description.
ViStatus ResolveRepCapItems(ViSession vi, ViConstString selector, IRepCapCollection& collection, REFIID itemIid,
                            RepCapItems& items) noexcept;

}  // namespace korvane::ivic
