// The option string of _init_with_options ("simulate=true;model=...") as the object model's
// Initialize takes it ("Simulate=true, DriverSetup= Model=...").
#pragma once

#include <korvane/KorvanePlatform.h>

#include <string>
#include <string_view>

namespace korvane::ansic {

// Names are lower snake case. The IVI session options (simulate, cache, range_check,
// query_instrument_status, record_value_coercions, interchange_check) go before DriverSetup, the
// driver's own settings (model, trace, trace_name, io_log, ...) into it. Empty pieces are
// skipped. Failures give the driver's option codes with a text in `error`.
HRESULT OptionsToInitString(std::string_view options, std::string& initString, std::string& error);

}  // namespace korvane::ansic
