// Line-oriented text files as the programs write and read them. Lines are
// written with CR LF ends; reading ends a line at CR LF, at a lone CR and at
// a lone LF. File contents are bytes and are never converted.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace textfile {

// Splits a file's bytes into lines. A final line without an end counts; an
// empty file has no lines.
std::vector<std::string> SplitLines(const std::string& bytes);

// Reads a whole file; nullopt when it cannot be opened.
std::optional<std::string> ReadAll(const std::string& path);
std::optional<std::vector<std::string>> ReadLines(const std::string& path);

// The last line of a file, read from its end (cost independent of the file's
// length for ordinary lines). nullopt when the file cannot be opened; an
// empty string for an empty file.
std::optional<std::string> ReadLastLine(const std::string& path);

// Appends bytes + CR LF, creating the file when missing, in one write: the
// line is there whole or not at all (a write cut short, as on a full disk, is
// taken back), and it starts on a line of its own even when the file ends
// inside a line. False on failure.
bool AppendLine(const std::string& path, const std::string& line);
// Replaces the file by these lines, each ended by CR LF.
bool WriteLines(const std::string& path, const std::vector<std::string>& lines);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Creates one folder level; false when it cannot (a missing parent, say).
bool CreateDirectory(const std::string& path);
// Creates a folder and its missing parents.
bool CreateDirectories(const std::string& path);

}  // namespace textfile
