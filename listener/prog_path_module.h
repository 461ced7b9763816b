// ProgPathModule: the listener's settings and its program folder.
//
// ReadSetting and WriteSetting keep text values under
// HKEY_USERS\.Default\Software\Fragledger\<application key> of the registry
// stand-in. A missing value reads as kMissingSetting (254 blanks); reading
// creates the keys but never a value. Neither routine reports a failure.
//
// LocateProgramFolder is the engine's registered folder
// (registry::RegisteredProgramFolder, shared with the engine), falling back
// to the default folder; a library registered without any folder throws
// Failure "Invalid procedure call or argument".
//
// Stateless; every call opens its keys afresh. Thread-safe as the registry
// stand-in is.
#pragma once

#include <string>

namespace tallyhost {

extern const std::string kMissingSetting;   // 254 blanks

std::string ReadSetting(const std::string& app_key, const std::string& value_name);
void WriteSetting(const std::string& app_key, const std::string& value_name,
                  const std::string& value);

std::string LocateProgramFolder(const std::string& prog_id, const std::string& library_name,
                                const std::string& default_path);

}  // namespace tallyhost
