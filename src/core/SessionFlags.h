// The six session flags of IIviDriverOperation, and the one table of their names: the property
// (also "DriverOperation.<property>" as a configurable initial setting), the option-string name,
// and the elements a configuration store may hold them in. The option string, the store's
// reader, the store's initial settings and ResetWithDefaults all walk this table.
#pragma once

#include <optional>
#include <string_view>

namespace korvane {

struct SessionFlags {
  bool cache = true;
  bool interchangeCheck = false;
  bool queryInstrumentStatus = false;
  bool rangeCheck = true;
  bool recordCoercions = false;
  bool simulate = false;
};

// The same flags as a configuration store's driver session holds them: unset where it says nothing.
struct StoredSessionFlags {
  std::optional<bool> cache, interchangeCheck, queryInstrumentStatus, rangeCheck, recordCoercions, simulate;
};

struct SessionFlagRow {
  std::string_view property;    // IIviDriverOperation's property
  std::string_view option;      // its name in the option string (any case)
  std::string_view storeAlias;  // another element name stores use for it, or empty
  bool SessionFlags::*flag;
  std::optional<bool> StoredSessionFlags::*stored;
};

// In the order ResetWithDefaults restores them.
inline constexpr SessionFlagRow kSessionFlags[] = {
    {"Cache", "Cache", "", &SessionFlags::cache, &StoredSessionFlags::cache},
    {"InterchangeCheck", "InterchangeCheck", "", &SessionFlags::interchangeCheck,
     &StoredSessionFlags::interchangeCheck},
    {"QueryInstrumentStatus", "QueryInstrStatus", "", &SessionFlags::queryInstrumentStatus,
     &StoredSessionFlags::queryInstrumentStatus},
    {"RangeCheck", "RangeCheck", "", &SessionFlags::rangeCheck, &StoredSessionFlags::rangeCheck},
    {"RecordCoercions", "RecordCoercions", "RecordValueCoercions", &SessionFlags::recordCoercions,
     &StoredSessionFlags::recordCoercions},
    {"Simulate", "Simulate", "", &SessionFlags::simulate, &StoredSessionFlags::simulate},
};

}  // namespace korvane
