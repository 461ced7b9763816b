#include "textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "env.h"

namespace textfile {

std::vector<std::string> SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  // The next CR and the next LF, each searched for again only once the
  // lines have passed it: two plain byte searches over the text rather than
  // a test of every byte against both ends.
  size_t cr = bytes.find('\r'), lf = bytes.find('\n');
  size_t i = 0;
  while (i < bytes.size()) {
    if (cr < i) cr = bytes.find('\r', i);
    if (lf < i) lf = bytes.find('\n', i);
    const size_t end = std::min(cr, lf);
    if (end == std::string::npos) {
      lines.emplace_back(bytes, i);
      break;
    }
    lines.emplace_back(bytes, i, end - i);
    i = end + 1;
    if (bytes[end] == '\r' && i < bytes.size() && bytes[i] == '\n') ++i;
  }
  return lines;
}

std::optional<std::string> ReadAll(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  std::string bytes;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
  // A folder opens, but reading it fails (EISDIR), as any read error does.
  bool ok = true;
  char block[65536];
  while (ok) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got > 0) {
      bytes.append(block, static_cast<size_t>(got));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
    }
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return bytes;
}

std::optional<std::vector<std::string>> ReadLines(const std::string& path) {
  auto all = ReadAll(path);
  if (!all) return std::nullopt;
  return SplitLines(*all);
}

std::optional<std::string> ReadLastLine(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  if (std::fseek(f, 0, SEEK_END) != 0) {
    std::fclose(f);
    return std::nullopt;
  }
  long pos = std::ftell(f);
  std::string tail;   // the file's bytes from pos to its end
  const long kBlock = 4096;
  while (true) {
    // The last line ends before the file's final line end, if any.
    size_t end = tail.size();
    if (end > 0 && tail[end - 1] == '\n') --end;
    if (end > 0 && tail[end - 1] == '\r' && (end == tail.size() || tail[end] == '\n')) --end;
    if (pos == 0 || (end > 0 && tail.find_last_of("\r\n", end - 1) != std::string::npos)) {
      size_t brk = end == 0 ? std::string::npos : tail.find_last_of("\r\n", end - 1);
      std::fclose(f);
      size_t from = brk == std::string::npos ? 0 : brk + 1;
      return tail.substr(from, end - from);
    }
    long n = pos >= kBlock ? kBlock : pos;
    pos -= n;
    std::string block(static_cast<size_t>(n), '\0');
    if (std::fseek(f, pos, SEEK_SET) != 0 ||
        std::fread(block.data(), 1, static_cast<size_t>(n), f) != static_cast<size_t>(n)) {
      std::fclose(f);
      return std::nullopt;
    }
    tail.insert(0, block);
  }
}

namespace {

// The logs are written through the Env (env.h), so that tests can fail the
// writes as a full or failing disk would; they are read directly.
env::Env& Fs() { return env::Current(); }

FileStamp StampOfStat(const struct stat& st) {
  FileStamp f;
  f.dev = static_cast<uint64_t>(st.st_dev);
  f.ino = static_cast<uint64_t>(st.st_ino);
  f.size = static_cast<int64_t>(st.st_size);
  f.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return f;
}

// Writes bytes + CR LF to `fd` (opened for appending) in one write, after a
// line end of its own when `last` (the file's last byte, '\n' for an empty
// file) does not end a line. A write cut short is taken back.
bool WriteWholeLine(int fd, char last, const std::string& line) {
  std::string text;
  if (last != '\n' && last != '\r') text = "\r\n";
  text += line;
  text += "\r\n";
  // One write, so that programs sharing the file never interleave inside a
  // line; a write cut short is taken back, so the line is whole or absent.
  ssize_t n;
  do {
    n = Fs().Write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  bool ok = n == static_cast<ssize_t>(text.size());
  if (!ok && n >= 0) {
    // A write cut short says no reason: the room ran out.
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (n > 0 && end >= n && Fs().Truncate(fd, end - n) != 0) {
      // The partial line stays; the next line starts on a line of its own.
    }
    errno = ENOSPC;
  }
  return ok;
}

// The last byte of an open file, '\n' when it is empty or cannot be read.
char LastByte(int fd, const struct stat& st) {
  char last = '\n';
  if (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) != 1) last = '\n';
  return last;
}

}  // namespace

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return StampOfStat(st);
}

bool AppendLine(const std::string& path, const std::string& line) {
  int fd = Fs().Open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  // A line cut short before (a crash, a full disk) must not swallow this
  // one: start on a line of its own.
  struct stat st;
  const char last = ::fstat(fd, &st) == 0 ? LastByte(fd, st) : '\n';
  bool ok = WriteWholeLine(fd, last, line);
  ok = (Fs().Close(fd) == 0) && ok;
  return ok;
}

Appender::Appender(Appender&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)), left_(other.left_) {
  other.fd_ = -1;
  other.left_.reset();
}

Appender& Appender::operator=(Appender&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    left_ = other.left_;
    other.fd_ = -1;
    other.left_.reset();
  }
  return *this;
}

Appender::~Appender() { Close(); }

void Appender::Close() {
  if (fd_ >= 0) Fs().Close(fd_);
  fd_ = -1;
  path_.clear();
  left_.reset();
}

bool Appender::LeftAs(const std::string& path, const FileStamp& now) const {
  return fd_ >= 0 && left_ && path == path_ && now == *left_;
}

bool Appender::Append(const std::string& path, const std::string& line,
                      const std::optional<FileStamp>& now) {
  const std::optional<FileStamp> at_path = now ? now : StampOf(path);
  char last = '\n';
  if (!(at_path && LeftAs(path, *at_path))) {
    // Someone else wrote, or it is another file: look at it afresh.
    if (!(fd_ >= 0 && path == path_ && at_path && left_ && at_path->dev == left_->dev &&
          at_path->ino == left_->ino)) {
      Close();
      fd_ = Fs().Open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
      if (fd_ < 0) return false;
      path_ = path;
    }
    left_.reset();
    struct stat st;
    if (::fstat(fd_, &st) == 0) last = LastByte(fd_, st);
  }
  left_.reset();
  const bool ok = WriteWholeLine(fd_, last, line);
  struct stat st;
  if (ok && ::fstat(fd_, &st) == 0) left_ = StampOfStat(st);
  return ok;
}

bool WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\r\n";
  const int fd = Fs().Open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t at = 0; ok && at < text.size();) {
    const ssize_t n = Fs().Write(fd, text.data() + at, text.size() - at);
    if (n > 0) {
      at += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      if (n == 0) errno = ENOSPC;
      ok = false;
    }
  }
  const int error = errno;
  const bool closed = Fs().Close(fd) == 0;
  if (!ok) errno = error;   // the write's reason, not the close's
  return ok && closed;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && DirectoryExists(path));
}

bool CreateDirectories(const std::string& path) {
  if (path.empty() || DirectoryExists(path)) return !path.empty();
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !CreateDirectories(path.substr(0, slash)))
    return false;
  return CreateDirectory(path);
}

}  // namespace textfile
