// The registrar: runs a module's registry scripts in register or unregister
// mode against the emulated registry.
//
// The script language is the small one class registrations are written in:
//
//   HKCR
//   {
//     Halvex.Thing.1 = s 'Thing Class'
//     {
//       CLSID = s '{...}'
//     }
//     NoRemove CLSID
//     {
//       ForceRemove {...} = s 'Thing Class'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Free'
//         }
//         'TypeLib' = s '{...}'
//       }
//     }
//   }
//
// Tokens are separated by white space; texts and names may be quoted with
// single quotes, a doubled quote standing for one. %NAME% is replaced before
// the script is read (a replacement's single quotes are doubled, so a path
// with a quote in it survives the quoting); %% is a literal percent sign.
//
// A script is read completely before anything is applied: a malformed script
// (unbalanced braces, a stray quote, a key name with a backslash, an unknown
// keyword or value type) fails with DISP_E_EXCEPTION and leaves the registry
// untouched.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/types.h"

namespace krsoap::com {

enum class RegistrarMode { kRegister, kUnregister };

// A replacement variable: %name% (compared without regard to case) becomes
// value.
using RegistrarReplacements = std::vector<std::pair<std::string, std::string>>;

// Runs `script` (UTF-8). Returns S_OK, DISP_E_EXCEPTION for a malformed
// script, or HRESULT_FROM_WIN32 of the registry call that failed. `error`,
// when given, receives a one-line description of a failure.
HRESULT RunRegistryScript(std::string_view script, const RegistrarReplacements& replacements,
                          RegistrarMode mode, std::string* error = nullptr);

// Reads and checks a script without applying it (the same checks as
// RunRegistryScript). Returns S_OK or DISP_E_EXCEPTION.
HRESULT CheckRegistryScript(std::string_view script, const RegistrarReplacements& replacements,
                            std::string* error = nullptr);

}  // namespace krsoap::com
