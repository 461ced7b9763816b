#include "log_follower.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tallysend {
namespace {

constexpr size_t kChunk = 64 * 1024;

// Just after the last line end among the last kChunk bytes of the file; 0
// when the file holds no line end at all (its one line is still being
// written), its size when the last line is longer than kChunk.
uint64_t LastLineEnd(int fd, uint64_t size) {
  const uint64_t from = size > kChunk ? size - kChunk : 0;
  std::string tail(size - from, '\0');
  ssize_t n = ::pread(fd, tail.data(), tail.size(), static_cast<off_t>(from));
  if (n < 0) return size;
  tail.resize(static_cast<size_t>(n));
  const size_t end = tail.find_last_of("\r\n");
  if (end != std::string::npos) return from + end + 1;
  return from == 0 ? 0 : size;
}

}  // namespace

std::optional<FileId> IdOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

LogFollower::LogFollower(std::string path, Start start, Note note)
    : path_(std::move(path)), start_(std::move(start)), note_(std::move(note)) {
  if (start_.resume) splitter_.Restart(start_.resume->file, start_.resume->offset);
}

LogFollower::~LogFollower() {
  if (fd_ >= 0) ::close(fd_);
}

void LogFollower::Tell(const std::string& text) const {
  if (note_) note_(text);
}

std::optional<std::string> LogFollower::FindInFolder(const FileId& id) const {
  const size_t slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return std::nullopt;
  std::optional<std::string> found;
  while (dirent* e = ::readdir(dir)) {
    const std::string candidate = (folder == "/" ? "" : folder) + "/" + e->d_name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)} == id) {
      found = candidate;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

bool LogFollower::OpenAt(const std::string& path, uint64_t offset, bool at_last_line_end) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    ::close(fd);
    fd = -1;
    errno = EISDIR;
  }
  if (fd < 0) {
    if (!told_missing_)
      Tell(errno == ENOENT ? "waiting for " + path + " to appear"
                           : "can not open " + path + ": " + std::strerror(errno) + "; trying again");
    told_missing_ = true;
    return false;
  }
  told_missing_ = false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (offset > size) {
    Tell(path + " is shorter than where sending stopped; reading it again from its start");
    offset = 0;
  }
  if (at_last_line_end) offset = LastLineEnd(fd, size);
  ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
  fd_ = fd;
  splitter_.Restart({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}, offset);
  return true;
}

bool LogFollower::OpenFirst() {
  const bool again = attempted_;
  attempted_ = true;
  bool ok = false;
  if (!start_.resume) {
    // What the file holds at the first look is not sent (unless from_start).
    ok = OpenAt(path_, 0, !again && !start_.from_start);
  } else if (const Position resume = *start_.resume; !resume.file.Known()) {
    // A position without a file: whatever file appears at the path, from its start.
    ok = OpenAt(path_, 0, false);
  } else if (IdOf(path_) == resume.file) {
    ok = OpenAt(path_, resume.offset, false);
  } else if (std::optional<std::string> old = FindInFolder(resume.file)) {
    if (!again) Tell(path_ + " was replaced while stopped; finishing " + *old + " first");
    ok = OpenAt(*old, resume.offset, false);
  } else {
    if (!again) Tell("the file sending stopped in is gone; reading " + path_ + " from its start");
    ok = OpenAt(path_, 0, false);
  }
  opened_ = ok;
  if (ok) first_position_ = splitter_.consumed();
  return ok;
}

bool LogFollower::ReadAvailable(std::vector<Line>* out, size_t* budget) {
  char buffer[kChunk];
  while (*budget > 0) {
    const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, *budget));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno != EAGAIN) Tell("can not read " + path_ + ": " + std::strerror(errno));
      return true;
    }
    if (n == 0) return true;
    splitter_.Feed(std::string_view(buffer, static_cast<size_t>(n)), out);
    *budget -= std::min(static_cast<size_t>(n), *budget);
  }
  return false;
}

void LogFollower::Step(std::vector<Line>* out, size_t max_bytes) {
  more_ = false;
  size_t budget = max_bytes;
  if (fd_ < 0 && !(opened_ ? OpenAt(path_, 0, false) : OpenFirst())) return;
  // What is at the path is looked at before the open file is read to its
  // end: whatever was written to the old file before the new one appeared
  // is read before the switch.
  const std::optional<FileId> now = IdOf(path_);
  if (!ReadAvailable(out, &budget)) {
    more_ = true;
    return;
  }
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) < splitter_.offset()) {
    Tell(path_ + " was truncated; reading it again from its start");
    ::lseek(fd_, 0, SEEK_SET);
    splitter_.Restart(splitter_.consumed().file, 0);
    more_ = !ReadAvailable(out, &budget);
    return;
  }
  if (!now || *now == splitter_.consumed().file) return;
  // Another file at the path: the old one has been read to its end.
  splitter_.Finish(out);
  ::close(fd_);
  fd_ = -1;
  if (!OpenAt(path_, 0, false)) return;
  Tell(path_ + " was replaced; following the new file from its start");
  more_ = !ReadAvailable(out, &budget);
}

}  // namespace tallysend
