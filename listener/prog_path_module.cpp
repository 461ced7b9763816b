#include "prog_path_module.h"

#include <cstdlib>
#include <vector>

#include "registry.h"
#include "text_rules.h"

namespace tallyhost {

const std::string kMissingSetting(254, ' ');

namespace {
const char kSettingsKey[] = ".Default\\Software\\Fragledger";

bool OpenAppKey(const std::string& app_key, registry::HKEY* key) {
  registry::HKEY base;
  if (registry::RegCreateKeyExA(registry::RootKey(registry::Hive::Users), kSettingsKey,
                                registry::kListenerAccess, &base) != registry::kSuccess)
    return false;
  bool ok = registry::RegCreateKeyExA(base, app_key, registry::kListenerAccess, key) ==
            registry::kSuccess;
  registry::RegCloseKey(base);
  return ok;
}

// Reads a value the way ReadSetting does: a buffer of 254 blanks and a NUL;
// the result is the first (length - 1) characters.
std::string ReadInto255(const registry::HKEY& key, const std::string& value_name) {
  std::vector<char> buffer(255, ' ');
  buffer[254] = '\0';
  uint32_t length = 255;
  if (registry::RegQueryValueExA(key, value_name, buffer.data(), &length) != registry::kSuccess ||
      length == 0 || length > 255)
    return kMissingSetting;
  return std::string(buffer.data(), length - 1);
}
}  // namespace

std::string ReadSetting(const std::string& app_key, const std::string& value_name) {
  registry::HKEY key;
  if (!OpenAppKey(app_key, &key)) return kMissingSetting;
  std::string v = ReadInto255(key, value_name);
  registry::RegCloseKey(key);
  return v;
}

void WriteSetting(const std::string& app_key, const std::string& value_name,
                  const std::string& value) {
  registry::HKEY key;
  if (!OpenAppKey(app_key, &key)) return;
  registry::RegSetValueExA(key, value_name, registry::kRegSz, value.c_str(),
                           static_cast<uint32_t>(value.size() + 1));
  registry::RegCloseKey(key);
}

std::string LocateProgramFolder(const std::string& prog_id, const std::string& library_name,
                                const std::string& default_path) {
  registry::HKEY root = registry::RootKey(registry::Hive::ClassesRoot);
  registry::HKEY key;
  std::string clsid = kMissingSetting;
  if (registry::RegOpenKeyExA(root, prog_id + "\\Clsid", registry::kListenerAccess, &key) ==
      registry::kSuccess) {
    clsid = ReadInto255(key, "");
    registry::RegCloseKey(key);
  }
  if (registry::RegOpenKeyExA(root, "Clsid\\" + clsid + "\\InprocServer32",
                              registry::kListenerAccess, &key) != registry::kSuccess)
    return default_path;
  std::string path = ReadInto255(key, "");
  registry::RegCloseKey(key);
  if (path == kMissingSetting) return default_path;
  size_t p = LowerAscii(path).find(LowerAscii(library_name));
  if (p == std::string::npos) return default_path;
  // The folder ends before the "/" that precedes the name; a name without
  // any folder in front cannot be cut.
  if (p == 0) throw Failure(kErrInvalidCall, "Invalid procedure call or argument");
  return path.substr(0, p - 1);
}

}  // namespace tallyhost
