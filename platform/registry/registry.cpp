#include "registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "env.h"
#include "textfile.h"

namespace registry {
namespace fs = std::filesystem;

namespace {

const char* HiveName(Hive h) {
  switch (h) {
    case Hive::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case Hive::CurrentUser: return "HKEY_CURRENT_USER";
    case Hive::LocalMachine: return "HKEY_LOCAL_MACHINE";
    case Hive::Users: return "HKEY_USERS";
  }
  return "HKEY_USERS";
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Joins a parent path and a sub-key, dropping empty parts.
std::string Join(const std::string& parent, const std::string& sub) {
  std::string out = parent;
  for (size_t start = 0; start < sub.size();) {
    size_t end = sub.find('\\', start);
    if (end == std::string::npos) end = sub.size();
    if (end > start) {
      if (!out.empty()) out += '\\';
      out.append(sub, start, end - start);
    }
    start = end + 1;
  }
  return out;
}

// A key part or value name as a file name: lower case, and the characters
// a file name cannot hold escaped.
std::string FileName(const std::string& name) {
  if (name.empty()) return "@";
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : Lower(name)) {
    if (c == '/' || c == '%' || c == '@' || c == 0) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (out == "." || out == "..") out = "%2E" + out.substr(1);
  return out;
}

// The folder of a key (a plain string: the class lookup of every pass comes
// through here).
std::string KeyFolder(const HKEY& key) {
  std::string p = RootFolder();
  p += '/';
  p += HiveName(key.hive);
  const std::string& path = key.path;
  for (size_t start = 0; start < path.size();) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      p += '/';
      p += FileName(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return p;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string RootFolder() {
  std::string root = env::VariableOr("TALLY_REGISTRY", "");
  if (!root.empty()) return root;
  std::string base = env::VariableOr("XDG_CONFIG_HOME", "");
  if (base.empty()) {
    std::string home = env::VariableOr("HOME", "");
    base = home.empty() ? "/tmp" : home + "/.config";
  }
  return base + "/tallyhost/registry";
}

HKEY RootKey(Hive hive) { return HKEY{hive, "", true}; }

long RegCreateKeyExA(const HKEY& parent, const std::string& sub_key, uint32_t, HKEY* result) {
  if (!parent.valid) return kFileNotFound;
  HKEY k{parent.hive, Join(parent.path, sub_key), true};
  std::error_code ec;
  fs::create_directories(KeyFolder(k), ec);
  if (ec || !IsDirectory(KeyFolder(k))) return kAccessDenied;
  *result = k;
  return kSuccess;
}

long RegOpenKeyExA(const HKEY& parent, const std::string& sub_key, uint32_t, HKEY* result) {
  if (!parent.valid) return kFileNotFound;
  HKEY k{parent.hive, Join(parent.path, sub_key), true};
  if (!IsDirectory(KeyFolder(k))) return kFileNotFound;
  *result = k;
  return kSuccess;
}

long RegQueryValueText(const HKEY& key, const std::string& value_name, std::string* text) {
  if (!key.valid) return kFileNotFound;
  auto content = textfile::ReadAll(KeyFolder(key) + "/" + FileName(value_name));
  if (!content) return kFileNotFound;
  *text = *content;
  return kSuccess;
}

long RegQueryValueExA(const HKEY& key, const std::string& value_name, char* buffer,
                      uint32_t* length) {
  std::string text;
  long rc = RegQueryValueText(key, value_name, &text);
  if (rc != kSuccess) return rc;
  uint32_t needed = static_cast<uint32_t>(text.size() + 1);
  if (needed > *length) {
    *length = needed;
    return kMoreData;
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  *length = needed;
  return kSuccess;
}

long RegSetValueExA(const HKEY& key, const std::string& value_name, uint32_t,
                    const char* data, uint32_t length) {
  if (!key.valid) return kFileNotFound;
  std::string text(data, length);
  if (!text.empty() && text.back() == '\0') text.pop_back();
  fs::path folder = KeyFolder(key);
  if (!fs::is_directory(folder)) return kFileNotFound;
  fs::path target = folder / FileName(value_name);
  static std::atomic<unsigned long> counter{0};
  fs::path temp = folder / (".tmp." + std::to_string(::getpid()) + "." + std::to_string(++counter) +
                            "." + FileName(value_name));
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return kAccessDenied;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) return kAccessDenied;
  }
  std::error_code ec;
  fs::rename(temp, target, ec);
  if (ec) {
    fs::remove(temp, ec);
    return kAccessDenied;
  }
  return kSuccess;
}

long RegSetValueText(const HKEY& key, const std::string& value_name, const std::string& text) {
  return RegSetValueExA(key, value_name, kRegSz, text.c_str(),
                        static_cast<uint32_t>(text.size() + 1));
}

long RegDeleteKeyA(const HKEY& parent, const std::string& sub_key) {
  if (!parent.valid) return kFileNotFound;
  HKEY k{parent.hive, Join(parent.path, sub_key), true};
  if (k.path.empty()) return kAccessDenied;
  std::error_code ec;
  if (!fs::is_directory(KeyFolder(k))) return kFileNotFound;
  fs::remove_all(KeyFolder(k), ec);
  return ec ? kAccessDenied : kSuccess;
}

long RegCloseKey(const HKEY&) { return kSuccess; }

}  // namespace registry
