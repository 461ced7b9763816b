#include "prog_path_module.h"

#include <stdexcept>
#include <vector>

#include "program_folder.h"
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
  try {
    return registry::RegisteredProgramFolder(prog_id, library_name, default_path);
  } catch (const std::out_of_range&) {
    throw Failure(kErrInvalidCall, "Invalid procedure call or argument");
  }
}

}  // namespace tallyhost
