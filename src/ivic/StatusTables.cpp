#include "ivic/StatusTables.h"

#include "ivic/SessionStore.h"

#include <korvane/ComHelpers.h>
#include <korvane/MessageTable.inc>

#include <cstdint>
#include <string>

namespace korvane::ivic {

namespace {

// The HRESULTs that map are those of the driver's message table (catalog/messages.toml); each
// keeps its code within its range: IVI errors 0x80047nnn -> 0xBFFA0nnn, class and
// driver-specific errors 0x8004xnnn -> 0xBFFAxnnn, warnings 0x0004xnnn -> 0x3FFAxnnn likewise.
bool InMessageTable(uint32_t hr) noexcept {
  for (const auto& row : messages::kMessages)
    if (row.hresult == hr) return true;
  return false;
}

uint32_t StatusOf(uint32_t hr) noexcept {
  const uint32_t low = hr & 0xFFFF;
  const uint32_t code = (low & 0xF000) == 0x7000 ? low & 0x0FFF : low;
  return ((hr & 0x80000000u) ? 0xBFFA0000u : 0x3FFA0000u) | code;
}

struct StatusText {
  uint32_t code;
  const char* text;
};

constexpr StatusText kStatusTexts[] = {
    {0x00000000, "Success."},
    {0xBFFA4214, "I/O error."},
    {0xBFFA4215, "I/O timeout error."},
    {0xBFFA4216, "Instrument model does not support this feature."},
    {0xBFFA4211, "Personality is not active."},
    {0xBFFA4212, "Personality is not installed."},
    {0xBFFA0000, "Failure cannot recover."},
    {0xBFFA0001, "Instrument error detected.  Use ErrorQuery() to determine the error(s)."},
    {0xBFFA0002, "Cannot open file."},
    {0xBFFA0003, "Error reading file."},
    {0xBFFA0004, "Error writing file."},
    {0xBFFA000B, "The pathname is invalid."},
    {0xBFFA0010, "Invalid value (%1) for method %2, parameter %3."},
    {0xBFFA0011, "Does not support this class-compliant feature: method %1"},
    {0xBFFA0012, "Does not support this class-compliant feature: property %1."},
    {0xBFFA0013,
     "Does not support this class-compliant feature:  (enumeration) value %1 passed as the value for parameter %2 in "
     "method %3."},
    {0xBFFA001D, "A connection to the instrument has not been established."},
    {0xBFFA0020, "Unknown channel name."},
    {0xBFFA0023, "Too many files are open."},
    {0xBFFA0044, "A channel name is required."},
    {0xBFFA0049, "The option string is missing an option name."},
    {0xBFFA004A, "The option string is missing an option value."},
    {0xBFFA004B, "The %1 name in the option string is unknown."},
    {0xBFFA004C, "The %1 value in the option string is unknown."},
    {0xBFFA0056, "Could not allocate necessary memory."},
    {0xBFFA0057, "Operation in progress."},
    {0xBFFA0058, "Null pointer passed for method %1, parameter %2."},
    {0xBFFA0059, "Unexpected response from instrument."},
    {0xBFFA005B, "File not found."},
    {0xBFFA005C, "Invalid file format."},
    {0xBFFA005D, "The instrument status is not available."},
    {0xBFFA005E, "Instrument ID query failed."},
    {0xBFFA005F, "Instrument reset failed."},
    {0xBFFA0060, "Unknown resource."},
    {0xBFFA0061, "The driver is already initialized."},
    {0xBFFA0062, "The simulation state cannot be changed."},
    {0xBFFA0063, "The number of levels in the selector is not valid for the %1 repeated capability."},
    {0xBFFA0064, "The range %1 is not valid for the repeated capability %2."},
    {0xBFFA0065, "Unknown name in selector."},
    {0xBFFA0066, "The repeated capability selector is badly-formed."},
    {0xBFFA0067, "Unknown physical repeated capability selector."},
    {0xBFFA2001, "Specified channel is not enabled."},
    {0xBFFA2002, "Unable to perform desired measurement operation."},
    {0xBFFA2003, "Maximum time exceeded before the operation completed."},
    {0xBFFA2004, "Invalid acquisition type."},
    {0xBFFA420E, "Invalid Measurement Source"},
    {0xBFFA4217, "Setting Conflict"},
    {0xBFFA4218, "Option not present"},
    {0xBFFA40DC, "Invalid parameter Value."},
    {0xBFFA421C, "Bad Pattern "},
    {0xBFFA421E, "No Data for operation."},
    {0xBFFA000C, "Attribute ID not recognized."},
    {0xBFFA0015, "Wrong attribute accessor invoked for attribute type."},
    {0xBFFA000D, "Attribute is read-only."},
    {0xBFFA000E, "Attribute is write-only."},
    {0xBFFA1190, "Invalid session handle."},
    {0x3FFA0065, "ID Query is not supported by this instrument."},
    {0x3FFA0066, "Reset is not supported by this instrument."},
    {0x3FFA0067, "Self test is not supported by this instrument."},
    {0x3FFA0068, "Error query is not supported by this instrument."},
    {0x3FFA0069, "Firmware revision query is not supported by this instrument."},
    {0x3FFA2001, "One of the elements in the waveform array is invalid."},
};

}  // namespace

ViStatus MapHResult(HRESULT hr) noexcept {
  if (hr == S_OK) return VI_SUCCESS;
  const auto h = static_cast<uint32_t>(hr);
  return InMessageTable(h) ? static_cast<ViStatus>(StatusOf(h)) : KORVANE_ERROR_UNMAPPED;
}

ViStatus ToViStatus(ViSession vi, HRESULT hr) noexcept {
  if (hr == S_OK) return VI_SUCCESS;
  const ViStatus code = MapHResult(hr);
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
    Bstr description;
    if (SUCCEEDED(info->GetDescription(description.Receive()))) {
      try {
        IviSession_SetError(vi, code, description.Narrow().c_str());
      } catch (...) {
        // The code still reaches the caller; only the text is lost.
      }
    }
  }
  return code;
}

ViStatus OutOfMemory(ViSession vi) noexcept {
  IviSession_SetError(vi, IVI_ERROR_OUT_OF_MEMORY, StatusMessage(IVI_ERROR_OUT_OF_MEMORY));
  return IVI_ERROR_OUT_OF_MEMORY;
}

const char* StatusMessage(ViStatus code) noexcept {
  for (const auto& row : kStatusTexts)
    if (static_cast<ViStatus>(row.code) == code) return row.text;
  return nullptr;
}

}  // namespace korvane::ivic
