// Trigger source names shared by the trigger members and the class interface's forwards.
#pragma once

#include <string>
#include <string_view>

namespace korvane {

class CKorvaneSession;

// The instrument's token for a trigger source name the connected model has: Channel1..Channel4
// (CHAN1..), DigitalChannel0..15 (DIG0..), EXT or VAL_EXTERNAL (EXT), VAL_LINE (LINE, not on the
// modular family), VAL_WGEN and VAL_WMOD (with a generator), VAL_WGEN2 (families with two); the
// instrument's own CHAN<n> and DIG<n>, as the source getter answers, are taken too. False for
// any other name.
bool TriggerSourceToken(CKorvaneSession& s, std::string_view name, std::string* token);

}  // namespace korvane
