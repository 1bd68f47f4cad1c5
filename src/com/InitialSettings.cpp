// The configuration store's "Configurable Initial Settings" on the root: a setting's name is a
// property path from the root, resolved and its value read by the property-path table (generated
// from the catalogue; `korvane get/set` use it too), and written through the property's own
// interface, so the call frame, range checks and simulation apply as to any client's call.
#include "com/Objects.h"

#include "com/PropertyPath.h"

namespace korvane {

CDriver::SettingOutcome CKorvane::InitialSetting(const std::string& name, const std::string& value, bool apply) {
  paths::PropertyPath path;
  std::string why;
  if (!paths::ResolvePath(name, path, why)) return {SettingOutcome::kUnknownName, S_OK, why};
  if (!path.property->put) return {SettingOutcome::kUnknownName, S_OK, "the property cannot be written."};
  paths::Value v;
  if (!paths::ParseValue(*path.property, value, v, why)) return {SettingOutcome::kBadValue, S_OK, why};
  if (!apply) return {};
  ComPtr<IUnknown> root;
  HRESULT hr = QueryInterface(IID_IKorvane8, root.ReceiveVoid());
  if (SUCCEEDED(hr)) hr = paths::WriteProperty(root.get(), path, v);
  if (SUCCEEDED(hr)) return {};
  // The write reported its own failure; keep its description and let the session name the
  // setting after it.
  SettingOutcome failed{SettingOutcome::kWriteFailed, hr, {}};
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
    Bstr description;
    info->GetDescription(description.Receive());
    failed.why = description.Narrow();
  }
  if (failed.why.empty()) failed.why = "Korvane: The property could not be written.";
  return failed;
}

}  // namespace korvane
