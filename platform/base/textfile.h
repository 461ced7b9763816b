// Line-oriented text files as the programs write and read them. Lines are
// written with CR LF ends; reading ends a line at CR LF, at a lone CR and at
// a lone LF. File contents are bytes and are never converted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace textfile {

// Splits a file's bytes into lines. A final line without an end counts; an
// empty file has no lines.
std::vector<std::string> SplitLines(const std::string& bytes);

// Reads a whole file; nullopt when it cannot be opened or read (a folder
// cannot).
std::optional<std::string> ReadAll(const std::string& path);
std::optional<std::vector<std::string>> ReadLines(const std::string& path);

// The last line of a file, read from its end (cost independent of the file's
// length for ordinary lines). nullopt when the file cannot be opened; an
// empty string for an empty file.
std::optional<std::string> ReadLastLine(const std::string& path);

// What tells one state of a file from another: the file (device, inode),
// its size and its modification time. nullopt when there is no such file.
struct FileStamp {
  uint64_t dev = 0, ino = 0;
  int64_t size = 0, mtime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};
std::optional<FileStamp> StampOf(const std::string& path);

// Appends bytes + CR LF, creating the file when missing, in one write: the
// line is there whole or not at all (a write cut short, as on a full disk, is
// taken back), and it starts on a line of its own even when the file ends
// inside a line. False on failure.
bool AppendLine(const std::string& path, const std::string& line);
// Appends lines as AppendLine does, holding the file open from one line to
// the next, and knows the file as its own last line left it: a caller that
// finds the file at the path with that stamp knows that nobody wrote since.
// A file replaced at the path (renamed away, removed, another inode) is
// opened again. One instance per thread.
class Appender {
 public:
  Appender() = default;
  Appender(const Appender&) = delete;
  Appender& operator=(const Appender&) = delete;
  Appender(Appender&& other) noexcept;
  Appender& operator=(Appender&& other) noexcept;
  ~Appender();
  // `now` is the path's stamp when the caller has just taken it (saves
  // looking again); nullopt makes the appender look itself.
  bool Append(const std::string& path, const std::string& line,
              const std::optional<FileStamp>& now = std::nullopt);
  // Whether `now`, the stamp of `path`, is the file as this appender left it.
  bool LeftAs(const std::string& path, const FileStamp& now) const;
  void Close();

 private:
  int fd_ = -1;
  std::string path_;
  std::optional<FileStamp> left_;
};

// Replaces the file by these lines, each ended by CR LF.
bool WriteLines(const std::string& path, const std::vector<std::string>& lines);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Creates one folder level; false when it cannot (a missing parent, say).
bool CreateDirectory(const std::string& path);
// Creates a folder and its missing parents.
bool CreateDirectories(const std::string& path);

}  // namespace textfile
