// The registrar: applies registration scripts in the .rgs syntax to the
// registry (winreg.h).
//
//   HKCR
//   {
//     NoRemove AppID
//     {
//       '{DB53B054-046C-48FD-81B8-017060D70E3A}' = s 'TeskSave'
//       'TeskSave.EXE'
//       {
//         val AppID = s '{DB53B054-046C-48FD-81B8-017060D70E3A}'
//       }
//     }
//   }
//
// Roots: HKCR, HKCU, HKLM, HKU, HKCC or their HKEY_ names. Words are
// separated by white space (braces stand alone, so a bare {GUID} is a key
// name). A key is a bare word or a 'quoted' name ('' inside quotes is one
// quote); `= <type> 'data'`
// sets its default value; `val Name = <type> 'data'` sets a named value;
// types: s (string), d (number: decimal, 0x hex or &H hex), b (hex bytes).
// Flags before a key: NoRemove (never removed on unregistration; what is
// inside is still processed), ForceRemove (removed with its subkeys before
// registration), Delete (removed on registration, left alone on
// unregistration). %NAME% is replaced before parsing (%% is one %), with
// quotes doubled in the replacement; an unknown name is an error.
//
// Registration creates the keys and sets the values (doing it twice gives
// the same registry). Unregistration removes every named key with its
// subkeys, except NoRemove keys, of which only the named values go.
// A script with a syntax error changes nothing and fails with
// DISP_E_EXCEPTION; a registry error stops the run with its HRESULT.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CRegObject {
 public:
  HRESULT AddReplacement(const char* lpszKey, const char* lpszItem);
  HRESULT ClearReplacements();
  HRESULT StringRegister(const char* script);
  HRESULT StringUnregister(const char* script);
  // The script registered for nResID with RegisterRegistryScript.
  HRESULT ResourceRegister(UINT nResID);
  HRESULT ResourceUnregister(UINT nResID);

 private:
  HRESULT Apply(const char* script, bool bRegister);
  std::vector<std::pair<std::string, std::string>> m_replacements;
};

// Registrar scripts stand in for the program's "REGISTRY" resources: the
// program registers each one at start-up under its resource id. The text is
// copied.
void RegisterRegistryScript(UINT nResID, const char* script);
// The script of nResID; false when none was registered.
bool FindRegistryScript(UINT nResID, std::string& script);
