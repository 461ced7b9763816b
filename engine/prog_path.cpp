// ProgPathModule: the folder from which the engine library was registered.
#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "registry.h"
#include "score_module.h"

namespace tallycore {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Reads a key's default value as the designed 255-character buffer does.
bool ReadDefault(const std::string& sub_key, std::string* value) {
  using namespace registry;
  HKEY key;
  if (RegOpenKeyExA(RootKey(Hive::ClassesRoot), sub_key, kKeyRead, &key) != kSuccess) return false;
  char buffer[255];
  uint32_t length = sizeof buffer;
  if (RegQueryValueExA(key, "", buffer, &length) != kSuccess) return false;
  *value = std::string(buffer, length > 0 ? length - 1 : 0);
  return true;
}

}  // namespace

std::string LocateProgramFolder(const std::string& prog_id, const std::string& dll_name,
                                const std::string& default_folder) {
  std::string clsid, path;
  ReadDefault(prog_id + "\\Clsid", &clsid);
  if (!ReadDefault("Clsid\\" + clsid + "\\InprocServer32", &path)) return default_folder;
  size_t at = Lower(path).find(Lower(dll_name));
  if (at == std::string::npos) return default_folder;
  if (at == 0) throw std::out_of_range("the library path " + path + " has no folder");
  return path.substr(0, at - 1);
}

}  // namespace tallycore
