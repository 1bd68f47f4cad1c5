// The session's options: where Initialize's resource name, flags and settings come from (the
// configuration store, the option string, its DriverSetup part), and what each option does.
// The option string's syntax is OptionString.cpp's.
#include "core/Driver.h"

#include "base/StringUtil.h"
#include "core/Identity.h"
#include "core/OptionString.h"
#include "platform/Guard.h"

#include <optional>
#include <string>
#include <string_view>

namespace korvane {

HRESULT CDriver::ResolveResourceAndOptions(std::string_view options) {
  logicalName_.clear();
  ioResourceDescriptor_.clear();
  initOptions_.clear();
  driverSetupOptions_.clear();
  waitByEvent_ = false;
  keptEventErrors_ = 0;  // an earlier session's
  // Identity from an earlier session must not show through a re-initialised one.
  driverSetup_.clear();
  ioLogTarget_.clear();
  instrumentManufacturer_.clear();
  instrumentModel_.clear();
  instrumentSerialNumber_.clear();
  instrumentFirmwareRevision_.clear();
  idnResponse_.clear();
  capabilities_ = Capabilities{};
  flags_ = SessionFlags{};
  trace_.NewSession();
  initialSettings_.clear();

  SetConfiguredVirtualNames({});

  std::unique_ptr<IConfigStore> store;
  HRESULT hr;
  ConfigDriverSession session;
  if (!configStoreFactory_ || FAILED(configStoreFactory_(store)) || !store) {
    ioResourceDescriptor_ = resourceName_;
    hr = ProcessOptionString(options);
  } else if (std::string damaged = store->LoadError(); !damaged.empty()) {
    // A store that is there but cannot be read: resolving without it would turn a logical name
    // into an unknown resource, which says nothing of the cause.
    return ErrorReporter()->UnrecoverableFailure(("IVI configuration store: " + damaged).c_str());
  } else if (store->FindDriverSession(resourceName_, session)) {
    logicalName_ = resourceName_;
    ioResourceDescriptor_ = session.ioResourceDescriptor;
    SetConfiguredVirtualNames(std::move(session.virtualNames));
    for (const SessionFlagRow& f : kSessionFlags)
      if (const std::optional<bool>& stored = session.*f.stored) flags_.*f.flag = *stored;
    hr = LoadInitialSettings(std::move(session.initialSettings));
    if (FAILED(hr)) return hr;
    // The option string overrides the store; the store's DriverSetup comes last.
    hr = ProcessOptionString(options);
    if (SUCCEEDED(hr) && !session.driverSetup.empty()) hr = ProcessDriverSetup(session.driverSetup);
  } else {
    ioResourceDescriptor_ = resourceName_;
    InitialSettingList moduleSettings;
    if (!store->FindSoftwareModule(identity::kDriverPrefix, moduleSettings))
      return ErrorReporter()->UnrecoverableFailure(
          "Software module could not be loaded from the IVI Configuration Store.");
    // The module's initial settings serve every session the store does not name.
    hr = LoadInitialSettings(std::move(moduleSettings));
    if (FAILED(hr)) return hr;
    hr = ProcessOptionString(options);
  }
  if (FAILED(hr)) return hr;
  if (!logicalName_.empty() && ioResourceDescriptor_.empty() && !flags_.simulate)
    return ErrorReporter()->UnrecoverableFailure(("The driver session of logical name '" + logicalName_ +
                                                  "' has no hardware asset with an I/O resource descriptor.")
                                                     .c_str());

  if (flags_.simulate && instrumentModel_.empty()) instrumentModel_ = identity::DefaultSimulationModel();
  initialFlags_ = flags_;
  return S_OK;
}

HRESULT CDriver::ProcessOptionString(std::string_view options) {
  return Guarded([&] {
    initOptions_.clear();
    if (options.empty()) return S_OK;
    OptionSections sections = SplitOptionString(options);
    if (sections.driverSetup) {
      HRESULT hr = ProcessDriverSetup(*sections.driverSetup);
      if (FAILED(hr)) return hr;
    }
    for (const auto& [name, value] : ParseOptionPairs(sections.init)) {
      HRESULT hr = ProcessInitOption(name, value);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  });
}

HRESULT CDriver::ProcessDriverSetup(std::string_view text) {
  return Guarded([&] {
    driverSetupOptions_.clear();
    waitByEvent_ = false;
    driverSetup_.assign(text);
    // Phase counts are written "NumPhases:3" by some callers.
    std::string copy(text);
    constexpr std::string_view kColonForm = "NumPhases:";
    for (std::size_t at = copy.find(kColonForm); at != std::string::npos; at = copy.find(kColonForm, at))
      copy[at + kColonForm.size() - 1] = '=';
    for (const auto& [name, value] : ParseOptionPairs(copy)) {
      HRESULT hr = ProcessDriverSetupOption(name, value);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  });
}

HRESULT CDriver::SetFlagFromOption(bool SessionFlags::*flag, std::string_view value) {
  std::optional<bool> b = ParseOptionBool(value);
  if (!b) return ErrorReporter()->OptionValueUnknown(std::string(value).c_str());
  flags_.*flag = *b;
  return S_OK;
}

HRESULT CDriver::ProcessInitOption(std::string_view strNameIn, std::string_view strValueIn) {
  return Guarded([&] {
    if (strNameIn.empty()) return ErrorReporter()->NullPointer("ProcessInitOption", "strNameIn", nullptr);
    if (strValueIn.empty()) return ErrorReporter()->NullPointer("ProcessInitOption", "strValueIn", nullptr);
    const std::string name = ToLowerAscii(Trim(strNameIn));
    const std::string_view value = Trim(strValueIn);
    for (const SessionFlagRow& f : kSessionFlags) {
      if (!EqualsNoCase(name, f.option)) continue;
      HRESULT hr = SetFlagFromOption(f.flag, value);
      if (FAILED(hr)) return hr;
      break;
    }
    initOptions_[name] = std::string(value);
    return S_OK;
  });
}

HRESULT CDriver::ProcessDriverSetupOption(std::string_view name, std::string_view value) {
  return Guarded([&]() -> HRESULT {
    const std::string key = ToLowerAscii(Trim(name));
    value = Trim(value);
    if (key == "model") {
      instrumentModel_.assign(value);
    } else if (key == "trace") {
      std::optional<bool> on = ParseOptionBool(value);
      if (!on) return ErrorReporter()->OptionValueUnknown(std::string(value).c_str());
      // Opened here, running once Initialize configures it (MethodTrace.h).
      if (*on) {
        trace_.SetOpen(true);
      } else if (trace_.IsOpen() && trace_.GetState() == CMethodTrace::kPaused) {
        return ErrorReporter()->ReportWithText(
            E_UNEXPECTED,
            "Korvane: The method trace was switched on by an earlier \"Trace\" option of this "
            "Initialize and cannot be switched off by a later one.");
      } else {
        trace_.SetState(CMethodTrace::kPaused);
        trace_.SetOpen(false);
      }
    } else if (key == "tracename") {
      trace_.SetName(std::string(value));
    } else if (key == "tracesizemax") {
      trace_.SetSizeMax(ParseOptionInteger(value));
    } else if (key == "tracearray") {
      std::optional<bool> on = ParseOptionBool(value);
      if (!on) return ErrorReporter()->OptionValueUnknown(std::string(value).c_str());
      trace_.SetArraySwitch(*on);
    } else if (key == "tracearraysizemax") {
      trace_.SetArraySizeMax(ParseOptionInteger(value));
    } else if (key == "tracesaveinterval") {
      trace_.SetSaveInterval(ParseOptionInteger(value));
    } else if (key == "tracetransform") {
      trace_.SetTransform(std::string(value));
    } else if (key == "waitmode") {
      // How the driver waits for the instrument's pending operations: "Poll" (queries) or
      // "Event" (service requests, where the session delivers them).
      if (EqualsNoCase(value, "event")) waitByEvent_ = true;
      else if (EqualsNoCase(value, "poll")) waitByEvent_ = false;
      else return ErrorReporter()->OptionValueUnknown(std::string(value).c_str());
    } else if (key == "iolog") {
      // "stderr" or a file the messages to and from the instrument are appended to.
      ioLogTarget_.assign(value);
    }
    driverSetupOptions_[key] = std::string(value);
    return S_OK;
  });
}

}  // namespace korvane
