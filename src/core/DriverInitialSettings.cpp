// The configuration store's "Configurable Initial Settings": checked when Initialize resolves the
// session, written once it is connected.
#include "core/Driver.h"

#include "base/StringUtil.h"
#include "core/Identity.h"
#include "core/OptionString.h"
#include "platform/Guard.h"

#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// The "Configurable Initial Settings" of the store's driver session.
//
// A setting's name is a property path from the root object, exactly as `korvane get` and
// `korvane set` take it: "Acquisition.TimePerRecord", "Trigger.Level",
// "Channels.Item(Channel1).Offset"; a virtual name of the session may stand for the physical
// one ("Channels.Item(ProbeA).Offset"); names compare without regard to case. Its value text is
// read as that tool reads it: a number, true/false/1/0/on/off, an enumeration's member word
// ("Positive"), full name or number, a string as written.
//
// Order, as Initialize has it: the store's settings, then the option string, then the store's
// DriverSetup. The six session flags are options, not instrument settings: a setting
// "DriverOperation.<Flag>" sets the flag here, and the option string overrides it as it
// overrides the store's own flag elements. Every other setting is checked here, before any
// I/O, and written once the session is connected, after Reset and the model's set-up (which
// would undo it), in the store's order. An unknown or read-only name fails Initialize with
// message 0x12, a value that does not read as the property's type with 0x13, a write the
// instrument or the driver refuses with that write's own error; each names the setting.
HRESULT CDriver::LoadInitialSettings(InitialSettingList settings) {
  constexpr std::string_view kOperation = "DriverOperation.";
  for (auto& [name, value] : settings) {
    const std::string where = "Configurable initial setting '" + name + "' of the IVI configuration store";
    const std::string_view key = Trim(name);
    bool isFlag = false;
    for (const SessionFlagRow& f : kSessionFlags) {
      if (!StartsWithNoCase(key, kOperation) || !EqualsNoCase(key.substr(kOperation.size()), f.property)) continue;
      std::optional<bool> on = ParseOptionBool(value);
      if (!on) return ErrorReporter()->OptionValueUnknown(value.c_str(), (where + ": not true or false.").c_str());
      flags_.*f.flag = *on;
      isFlag = true;
      break;
    }
    if (isFlag) continue;
    const SettingOutcome checked = InitialSetting(name, value, false);
    if (checked.fault == SettingOutcome::kUnknownName)
      return ErrorReporter()->OptionNameUnknown(name.c_str(), (where + ": " + checked.why).c_str());
    if (checked.fault != SettingOutcome::kNone)
      return ErrorReporter()->OptionValueUnknown(value.c_str(), (where + ": " + checked.why).c_str());
    initialSettings_.emplace_back(std::move(name), std::move(value));
  }
  return S_OK;
}

HRESULT CDriver::ApplyInitialSettings() {
  for (const auto& [name, value] : initialSettings_) {
    const SettingOutcome done = InitialSetting(name, value, true);
    if (done.fault == SettingOutcome::kNone) continue;
    const std::string text = done.why + "\r\nConfigurable initial setting '" + name + "' = '" + value +
                             "' of the IVI configuration store.";
    return ErrorReporter()->ReportWithText(FAILED(done.hr) ? done.hr : E_FAIL, text.c_str());
  }
  return S_OK;
}

CDriver::SettingOutcome CDriver::InitialSetting(const std::string&, const std::string&, bool) {
  return {SettingOutcome::kUnknownName, S_OK, "this session has no object model to find it in."};
}

}  // namespace korvane
