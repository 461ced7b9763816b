#include "connections_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
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
// nothing when the name does not occur. A view into `line`.
std::optional<std::string_view> FieldValue(std::string_view line, std::string_view name) {
  const size_t p = line.find(name);
  if (p == std::string_view::npos) return std::nullopt;
  const size_t start = p + name.size();
  const size_t comma = line.find(',', p);
  return comma == std::string_view::npos ? line.substr(start) : line.substr(start, comma - start);
}

[[noreturn]] void ThrowFileFailure(const std::string& what, const std::string& path) {
  int err = errno;
  throw Failure(75, what + " " + path + (err ? std::string(": ") + std::strerror(err) : ""));
}
}  // namespace

EntryLine ParseEntryLine(const std::string& line, const std::string& program_path) {
  EntryLine e;
  const auto port = FieldValue(line, "Port=");
  e.port = port ? RoundToInt32(NumberPrefix(std::string(*port))) : 28000;
  const auto database = FieldValue(line, "Database=");
  e.connection_string = database ? std::string(*database) : DefaultConnectionString(program_path);
  const auto log = FieldValue(line, "Log=");
  e.log_path = log ? std::string(*log) : DefaultLogPath(program_path);
  const auto logon = FieldValue(line, "Logon=");
  e.logon = logon ? std::string(*logon) : "False";
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
