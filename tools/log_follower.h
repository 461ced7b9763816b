// LogFollower: reads the lines appended to a log file as they are written,
// as `tail -F` does. Each Step reads what has been appended since the last
// one and hands over the lines it completes (a last line without its end is
// held until the end arrives).
//
// Where it starts: at `resume` when given (a position saved by an earlier
// run), else at the file's start with `from_start`, else after the last line
// end in the file (what is already there is not read). A file that does not
// exist at the first step is waited for and read from its start, as is every
// later file at the path.
//
// Rotation: when another file appears at the path (the old one renamed away,
// a new one created), the old file is read to its end (a last line without
// its end counts then), and the new one is followed from its start. While
// nothing is at the path, the old file is still read (a writer may not have
// reopened yet).
// Truncation: a file that became shorter than the offset read is read again
// from its start. (A file truncated and rewritten past that offset between
// two steps can not be told from one that grew.)
//
// Resuming when the file at the path is no longer the one of `resume` (it
// was rotated while nobody followed it): the folder is searched for the file
// of `resume` (FILE.1, a dated name, ...); when found it is read on from the
// saved offset to its end, then the file at the path from its start. When it
// is gone, the file at the path is read from its start. A saved offset past
// the end of its file (truncated while stopped) starts that file again.
//
// Notes for the user (rotation, truncation, waiting) go to `note`.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "line_splitter.h"

namespace tallysend {

class LogFollower {
 public:
  struct Start {
    bool from_start = false;
    std::optional<Position> resume;
  };
  using Note = std::function<void(const std::string&)>;

  LogFollower(std::string path, Start start, Note note = {});
  ~LogFollower();
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

  // One reading step: appends the lines completed since the last step,
  // reading at most about `max_bytes`. Never blocks.
  void Step(std::vector<Line>* out, size_t max_bytes = 1 << 20);
  // Whether the last step stopped at max_bytes with more to read.
  bool more() const { return more_; }
  // Just after the last line handed over (or passed over): where a run
  // started with this as `resume` goes on. No file before the first is open.
  Position position() const { return splitter_.consumed(); }
  // Where reading began in the first file opened (nullopt before): noted
  // before anything read is sent, it lets a restart begin there too.
  const std::optional<Position>& first_position() const { return first_position_; }
  // Whether a file is open.
  bool following() const { return fd_ >= 0; }

 private:
  bool OpenFirst();
  bool OpenAt(const std::string& path, uint64_t offset, bool at_last_line_end);
  // Reads to the end of the open file or to the budget; false when the
  // budget ran out first.
  bool ReadAvailable(std::vector<Line>* out, size_t* budget);
  std::optional<std::string> FindInFolder(const FileId& id) const;
  void Tell(const std::string& text) const;

  std::string path_;
  Start start_;
  Note note_;
  int fd_ = -1;
  bool attempted_ = false;   // the first open was tried
  bool opened_ = false;      // a file was opened
  bool told_missing_ = false;
  bool more_ = false;
  std::optional<Position> first_position_;
  LineSplitter splitter_;
};

// The file at `path`; nullopt when there is none.
std::optional<FileId> IdOf(const std::string& path);

}  // namespace tallysend
