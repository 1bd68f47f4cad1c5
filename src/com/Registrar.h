// Applies registry scripts in the registrar's text syntax (Windows):
//
//   HKCR
//   {
//     NoRemove CLSID
//     {
//       ForceRemove {clsid} = s 'Name Class'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Both'
//         }
//       }
//     }
//   }
//
// Tokens are separated by white space; names and values may be quoted with '' ('' inside is a
// quote). "= s 'text'" or "= d 123" gives a key its default value, "val Name = ..." a named
// value. Registration creates the keys and values; ForceRemove deletes a key's old tree first.
// Unregistration deletes ForceRemove keys whole, and every other key once its subkeys are
// gone, except NoRemove keys, which are only descended into. %NAME% is replaced from the
// replacement table, %% is a percent sign.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <map>
#include <string>
#include <string_view>

namespace korvane {

class CRegistrar {
 public:
  void AddReplacement(std::wstring name, std::wstring value) { replacements_[std::move(name)] = std::move(value); }
  // Per user, HKCR stands for the current user's classes (HKCU\Software\Classes).
  void SetPerUser(bool perUser) noexcept { perUser_ = perUser; }

  // A script that does not parse changes nothing and gives HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  // a registry failure ends the run with its code.
  HRESULT Apply(std::wstring_view script, bool registering) noexcept;
  // The script held as resource <id> of type "REGISTRY" in the module.
  HRESULT ApplyResource(HMODULE module, unsigned id, bool registering) noexcept;

 private:
  std::map<std::wstring, std::wstring> replacements_;
  bool perUser_ = false;
};

}  // namespace korvane
