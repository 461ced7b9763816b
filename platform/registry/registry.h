// registry: hives, keys and REG_SZ text values kept in plain files.
//
// Keys are folders below the registry root, one per hive ("HKEY_USERS",
// "HKEY_CLASSES_ROOT", ...); key paths use "\" between their parts, as on the
// designed platform, and match without regard to letter case. A value is a
// file in its key's folder holding the text (its name lower-cased; the
// default value is the file "@"). Writes go to a temporary file that is then
// renamed, so readers never see half a value.
//
// The root is $TALLY_REGISTRY when set, else $XDG_CONFIG_HOME/tallyhost/registry
// (~/.config/tallyhost/registry).
//
// The functions mirror the narrow-character registry calls: they return
// kSuccess (0) or an error code and never throw. Handles are plain values
// owned by the caller; RegCloseKey releases nothing but is kept for form.
// Thread safety: the functions keep no state; concurrent writers of one value
// each leave a whole value behind.
#pragma once

#include <cstdint>
#include <string>

namespace registry {

enum class Hive { ClassesRoot, CurrentUser, LocalMachine, Users };

struct HKEY {
  Hive hive = Hive::Users;
  std::string path;   // "\"-separated, no leading or trailing "\"
  bool valid = false;
};

HKEY RootKey(Hive hive);

constexpr long kSuccess = 0;
constexpr long kFileNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kMoreData = 234;

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyAllAccess = 0xF003F;
// Access asked for by the listener: query, set, create sub-key, enumerate,
// notify, create link and read control.
constexpr uint32_t kListenerAccess = 0x2003F;

std::string RootFolder();

// Opens a key, creating it and its missing parents.
long RegCreateKeyExA(const HKEY& parent, const std::string& sub_key, uint32_t access, HKEY* result);
// Opens an existing key.
long RegOpenKeyExA(const HKEY& parent, const std::string& sub_key, uint32_t access, HKEY* result);
// Reads a value into a caller-sized buffer: *length is the buffer size in
// bytes on entry and the byte count written, terminating NUL included, on
// return. An empty value name reads the default value.
long RegQueryValueExA(const HKEY& key, const std::string& value_name, char* buffer,
                      uint32_t* length);
// Convenience form that returns the whole text.
long RegQueryValueText(const HKEY& key, const std::string& value_name, std::string* text);
// Writes a REG_SZ value of `length` bytes (the text and its NUL).
long RegSetValueExA(const HKEY& key, const std::string& value_name, uint32_t type,
                    const char* data, uint32_t length);
long RegSetValueText(const HKEY& key, const std::string& value_name, const std::string& text);
// Deletes a key and everything below it.
long RegDeleteKeyA(const HKEY& parent, const std::string& sub_key);
long RegCloseKey(const HKEY& key);

}  // namespace registry
