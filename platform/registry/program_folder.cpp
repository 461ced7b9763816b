#include "program_folder.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <cctype>
#include <stdexcept>

#include "registry.h"

namespace registry {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// A key's default value as the designed 255-byte buffer holds it.
bool ReadDefault(const std::string& sub_key, std::string* value) {
  HKEY key;
  if (RegOpenKeyExA(RootKey(Hive::ClassesRoot), sub_key, kKeyRead, &key) != kSuccess) return false;
  char buffer[255];
  uint32_t length = sizeof buffer;
  const bool ok = RegQueryValueExA(key, "", buffer, &length) == kSuccess && length > 0;
  RegCloseKey(key);
  if (ok) *value = std::string(buffer, length - 1);
  return ok;
}

std::string ReadRunningProgramFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string RegisteredProgramFolder(const std::string& prog_id, const std::string& library_name,
                                    const std::string& default_folder) {
  std::string clsid, path;
  if (!ReadDefault(prog_id + "\\Clsid", &clsid)) return default_folder;
  if (!ReadDefault("Clsid\\" + clsid + "\\InprocServer32", &path)) return default_folder;
  size_t at = Lower(path).find(Lower(library_name));
  if (at == std::string::npos) return default_folder;
  // The folder ends before the "/" in front of the name.
  if (at == 0) throw std::out_of_range("the library path " + path + " has no folder");
  return path.substr(0, at - 1);
}

std::string RegisteredProgramFolderOnce(const std::string& prog_id,
                                        const std::string& library_name,
                                        const std::string& default_folder) {
  static std::mutex mu;
  static std::map<std::array<std::string, 4>, std::string> known;
  std::array<std::string, 4> key{RootFolder(), prog_id, library_name, default_folder};
  {
    std::lock_guard<std::mutex> lock(mu);
    if (auto it = known.find(key); it != known.end()) return it->second;
  }
  std::string folder = RegisteredProgramFolder(prog_id, library_name, default_folder);
  std::lock_guard<std::mutex> lock(mu);
  known.emplace(std::move(key), folder);
  return folder;
}

std::string RunningProgramFolder() {
  static const std::string folder = ReadRunningProgramFolder();
  return folder;
}

}  // namespace registry
