// `korvane save` and `korvane load`: every property of the instrument that can be read and
// written back, in one JSON file, applied in an order that lets each value stand.
#pragma once

#include "Json.h"
#include "com/PropertyPath.h"

#include <functional>
#include <string>
#include <vector>

namespace korvane::cli {

// The tool names paths, values and members as the driver's path table does.
using namespace korvane::paths;

// One property met by WalkProperties: the object that has it, that object's identity (one object
// may be reached along several paths), the member, its full name and its resolved path.
struct WalkedProperty {
  IUnknown* object;
  IUnknown* identity;
  const MemberInfo& member;
  const std::string& name;  // "Channels.Item(Channel1).Offset"
  const PropertyPath& path;
};

// Walks the live object tree below `root` (of interface `iface`), as the path table names it:
// every property of every interface the filter keeps, the oldest interface of a chain first, the
// collections by the names the instrument gives. Eight levels deep at the most, a guard against a
// navigation cycle; every object stays alive until the walk ends, so identities stay distinct.
void WalkProperties(IUnknown* root, int iface, const std::function<bool(const InterfaceInfo&)>& keepInterface,
                    const std::function<void(const WalkedProperty&)>& visit);

struct Setting {
  std::string path;  // "Channels.Item(Channel1).Offset"
  PropertyPath resolved;
  Value value;
};

// Walks the live object tree from the root (the collections' names come from the instrument)
// and reads every read/write property. A property the model lacks or the driver does not
// implement, or an empty text (a setting the instrument never had), is skipped and counted; the
// driver's own session flags are not instrument settings.
struct SaveResult {
  std::vector<Setting> settings;  // in apply order
  std::size_t skipped = 0;
};
HRESULT ReadAllSettings(IUnknown* root, SaveResult& out);

// Apply order: modes, sources and switches first (they decide what a number means), then the
// scales and ranges, then offsets, levels and the rest; within each, an object before the
// objects it contains. Stable, so equal keys keep the file's order.
void SortForApply(std::vector<Setting>& settings);

std::string SettingsJson(const std::vector<Setting>& settings, const std::string& manufacturer,
                         const std::string& model, const std::string& firmware);
// The file back into settings; every path and value is checked before anything is sent.
bool ParseSettings(const JsonValue& document, std::vector<Setting>& out, std::string& model, std::string& error);

// The value as JSON: numbers plain, enumerations by their member word.
std::string ValueJson(const MemberInfo& m, const Value& v);

}  // namespace korvane::cli
