// What the page asks of the driver, as JSON in and JSON out. Each function runs on the session
// thread (CPanelInstrument::Call) and answers {"ok": true, ...} or {"ok": false, "error": ...}:
// a bad path, value or file is the page's mistake and the session stays as it was.
#pragma once

#include "Json.h"

#include <string>

struct IKorvane8;

namespace korvane::panel {

// {"path": "Timebase.HorizontalScale", "value": 0.001}: writes, reads the instrument's error
// queue, and reads the value back; a refusal carries the instrument's own text.
std::string ApiSet(IKorvane8* root, const cli::JsonValue& request);
// {"paths": [...]}: each value, or the reason it could not be read.
std::string ApiRead(IKorvane8* root, const cli::JsonValue& request);
// Every property the object model reaches from the root, with its type, access and enumeration
// members, the collections expanded by the names the instrument gives.
std::string ApiProperties(IKorvane8* root);
// {"command": "*IDN?"}: direct I/O; a query's reply, a command's refusal.
std::string ApiScpi(IKorvane8* root, const cli::JsonValue& request);
// The settings in the format of `korvane save` (the file itself, not wrapped).
std::string ApiSaveSettings(IKorvane8* root, bool& ok);
// A file of `korvane save`, checked whole, then applied in order.
std::string ApiLoadSettings(IKorvane8* root, const std::string& fileText);
// The instrument's error queue, emptied.
std::string ApiErrors(IKorvane8* root);

// Bounds on what one request may ask.
constexpr std::size_t kMaxPathsPerRead = 4096;
constexpr std::size_t kMaxScpiCommand = 4096;

}  // namespace korvane::panel
