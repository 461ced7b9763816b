// The connections file: one line per connection entry,
//   Port=<port>,Database=<connection string>,Logon=<logon>,Log=<log path>
// with CR LF line ends. Reading a line looks each field up on its own (field
// order is free, a missing field takes its default, a value ends at the next
// comma); the header line "Port=,Database=,Logon=,Log=" is recognised by
// exact comparison.
//
// Saving copies the current file's non-blank lines to the backup (the path
// cut at its last "." plus ".old") and then replaces the file with the given
// lines; the replacement is written to a temporary file first and renamed,
// so a failure leaves the old file whole. Failures are thrown as Failure.
//
// Pure functions over files; callers serialise access to one file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tallyhost {

extern const char kHeaderLine[];   // "Port=,Database=,Logon=,Log="

struct EntryLine {
  int32_t port = 28000;
  std::string connection_string;
  std::string logon;
  std::string log_path;
};

// Defaults that depend on the program folder.
std::string DefaultConnectionString(const std::string& program_path);
std::string DefaultLogPath(const std::string& program_path);

// Reads one line; a port that does not fit 32 bits throws Failure.
EntryLine ParseEntryLine(const std::string& line, const std::string& program_path);

std::string FormatEntryLine(const std::string& port_text, const std::string& database,
                            const std::string& logon, const std::string& log_path);

// The folder a program path names: a library registered at the root of the
// file system gives the empty program path, whose files are "/" + name.
std::string FolderOnDisk(const std::string& program_path);

std::string BackupPath(const std::string& path);

// Copies the non-blank lines of `path` to its backup, replacing an older
// backup. Nothing happens when `path` does not exist.
void RefreshBackup(const std::string& path);

// Creates `folder` when missing, refreshes the backup, writes `lines`.
void SaveConnectionsFile(const std::string& folder, const std::string& path,
                         const std::vector<std::string>& lines);

// Appends one line; a file that ends without a line end gets one first, so
// that the new line is not glued to the last one.
void AppendConnectionLine(const std::string& path, const std::string& line);

}  // namespace tallyhost
