#include "test_env.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testkit {
namespace fs = std::filesystem;

namespace {
void Swap(const char* name, const std::string& value, std::string* old, bool* had) {
  const char* cur = std::getenv(name);
  *had = cur != nullptr;
  if (cur) *old = cur;
  ::setenv(name, value.c_str(), 1);
}
void Restore(const char* name, const std::string& old, bool had) {
  if (had) ::setenv(name, old.c_str(), 1);
  else ::unsetenv(name);
}
}  // namespace

TempDir::TempDir() {
  std::string templ = (fs::temp_directory_path() / "tallytest.XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
  Swap("TALLY_REGISTRY", path_ + "/registry", &old_registry_, &had_registry_);
  Swap("XDG_DATA_HOME", path_ + "/data", &old_data_, &had_data_);
}

TempDir::~TempDir() {
  Restore("TALLY_REGISTRY", old_registry_, had_registry_);
  Restore("XDG_DATA_HOME", old_data_, had_data_);
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void Touch(const std::string& path) { std::ofstream(path, std::ios::binary | std::ios::app); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) { return fs::exists(path); }

std::string BinaryFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string p(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return p.substr(0, p.find_last_of('/'));
}

}  // namespace testkit
