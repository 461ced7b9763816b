#include "connections_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "env.h"
#include "text_rules.h"
#include "textfile.h"

namespace tallyhost {

const char kHeaderLine[] = "Port=,Database=,Logon=,Log=";

std::string DefaultConnectionString(const std::string& program_path) {
  constexpr std::string_view kHead = "Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;Data Source=";
  std::string cs;
  cs.reserve(kHead.size() + program_path.size() + 9);
  return cs.append(kHead).append(program_path).append("/test.mdb");
}

std::string DefaultLogPath(const std::string& program_path) {
  std::string path;
  path.reserve(program_path.size() + 12);
  return path.append(program_path).append("/Process.log");
}

namespace {
// The value after `name` up to the first "," from the name's position on;
// false when the name does not occur.
bool FieldValue(const std::string& line, const std::string& name, std::string* value) {
  size_t p = line.find(name);
  if (p == std::string::npos) return false;
  size_t start = p + name.size();
  size_t comma = line.find(',', p);
  *value = comma == std::string::npos ? line.substr(start) : line.substr(start, comma - start);
  return true;
}

[[noreturn]] void ThrowFileFailure(const std::string& what, const std::string& path) {
  int err = errno;
  throw Failure(75, what + " " + path + (err ? std::string(": ") + std::strerror(err) : ""));
}
}  // namespace

EntryLine ParseEntryLine(const std::string& line, const std::string& program_path) {
  EntryLine e;
  std::string v;
  e.port = FieldValue(line, "Port=", &v) ? RoundToInt32(NumberPrefix(v)) : 28000;
  e.connection_string =
      FieldValue(line, "Database=", &v) ? v : DefaultConnectionString(program_path);
  e.log_path = FieldValue(line, "Log=", &v) ? v : DefaultLogPath(program_path);
  e.logon = FieldValue(line, "Logon=", &v) ? v : "False";
  return e;
}

std::string FormatEntryLine(const std::string& port_text, const std::string& database,
                            const std::string& logon, const std::string& log_path) {
  std::string line;
  line.reserve(27 + port_text.size() + database.size() + logon.size() + log_path.size());
  line.append("Port=").append(port_text).append(",Database=").append(database);
  line.append(",Logon=").append(logon).append(",Log=").append(log_path);
  return line;
}

std::string FolderOnDisk(const std::string& program_path) {
  return program_path.empty() ? "/" : program_path;
}

// The backup is named at the last dot of the file name. A dot in a folder
// name does not count: the default program folder lies below ~/.local, and
// cutting there would put the backup outside the program folder.
std::string BackupPath(const std::string& path) {
  size_t dot = path.rfind('.');
  size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ".old";
  return path.substr(0, dot) + ".old";
}

void RefreshBackup(const std::string& path) {
  if (!textfile::FileExists(path)) return;
  errno = 0;
  auto lines = textfile::ReadLines(path);
  if (!lines) ThrowFileFailure("Can not read", path);
  std::vector<std::string> kept;
  for (const auto& l : *lines)
    if (l.find_first_not_of(' ') != std::string::npos) kept.push_back(l);
  std::string backup = BackupPath(path);
  errno = 0;
  if (!textfile::WriteLines(backup, kept)) ThrowFileFailure("Can not write", backup);
}

void SaveConnectionsFile(const std::string& folder, const std::string& path,
                         const std::vector<std::string>& lines) {
  errno = 0;
  if (!textfile::DirectoryExists(FolderOnDisk(folder)) &&
      !textfile::CreateDirectories(FolderOnDisk(folder)))
    ThrowFileFailure("Can not create folder", folder);
  RefreshBackup(path);
  std::string temp = path + ".new";
  errno = 0;
  if (!textfile::WriteLines(temp, lines)) {
    const int err = errno;
    env::Current().Unlink(temp);
    errno = err;
    ThrowFileFailure("Can not write", temp);
  }
  errno = 0;
  if (env::Current().Rename(temp, path) != 0) {
    int err = errno;
    env::Current().Unlink(temp);
    errno = err;
    ThrowFileFailure("Can not replace", path);
  }
}

void AppendConnectionLine(const std::string& path, const std::string& line) {
  errno = 0;
  if (!textfile::AppendLine(path, line))
    ThrowFileFailure("Can not write", path);
}

}  // namespace tallyhost
