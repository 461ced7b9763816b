// LineSplitter: cuts a stream of bytes, handed over in pieces as they are
// read, into lines ended by CR LF, a lone CR or a lone LF (as every text file
// of the programs). A last line without its end is held until the end
// arrives; empty lines are passed over; a UTF-8 byte-order mark at the start
// of the stream is no part of the first line.
//
// Every line carries the position just after its end (the file it was read
// from and the byte offset there), so that a sender can note how far it got.
// A CR is a line end of its own, so a line ended by CR LF is handed over at
// its CR, whether or not the LF has come yet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallysend {

// A file as the file system knows it (device and inode); all zero for no
// file at all (standard input, a file not there yet).
struct FileId {
  uint64_t dev = 0, ino = 0;
  bool operator==(const FileId&) const = default;
  bool Known() const { return dev != 0 || ino != 0; }
};

// A place in a file: the byte offset in `file`.
struct Position {
  FileId file;
  uint64_t offset = 0;
  bool operator==(const Position&) const = default;
};

struct Line {
  std::string text;
  Position end;   // just after the line's end
};

class LineSplitter {
 public:
  // Starts a stream in `file` at byte `offset` (a byte-order mark is looked
  // for only at offset 0); what was held is dropped.
  void Restart(const FileId& file, uint64_t offset);
  // The next bytes of the stream; appends the lines they complete.
  void Feed(std::string_view bytes, std::vector<Line>* out);
  // The end of the stream: the held last line, if any, as a line of its own.
  void Finish(std::vector<Line>* out);

  // Just after the last line end read (empty lines included): where reading starts again without losing or repeating a line.
  Position consumed() const { return {file_, consumed_}; }
  // Where the next byte fed belongs.
  uint64_t offset() const { return offset_; }
  bool holding() const { return !partial_.empty(); }

 private:
  void Emit(std::vector<Line>* out);

  FileId file_;
  uint64_t offset_ = 0, consumed_ = 0;
  std::string partial_;
  bool first_line_ = true;
};

}  // namespace tallysend
