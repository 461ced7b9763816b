// Test helpers: a fresh temporary folder per test, with the registry and the
// data folder pointed into it, and small file utilities.
#pragma once

#include <string>
#include <vector>

namespace testkit {

// Creates a unique temporary folder and removes it on destruction. While it
// lives, TALLY_REGISTRY points to <dir>/registry and XDG_DATA_HOME to
// <dir>/data (the previous values come back on destruction).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string old_registry_, old_data_;
  bool had_registry_ = false, had_data_ = false;
};

// Creates an empty file (an empty SQLite database is a 0-byte file).
void Touch(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);

// The folder that holds the test programs (and libtallycore.so).
std::string BinaryFolder();

}  // namespace testkit
