#include "send_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "datagram_builder.h"
#include "textfile.h"

namespace tallysend {
namespace {

const char kTitle[] = "tallysend state 1";

std::string Describe(const std::string& path, const std::string& what) {
  return "the state file " + path + " " + what;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The next word of `in`, when it is a plain decimal number that fits.
bool Number(std::istream& in, uint64_t* value) {
  std::string word;
  if (!(in >> word)) return false;
  const char* end = word.data() + word.size();
  auto [at, ec] = std::from_chars(word.data(), end, *value);
  return ec == std::errc() && at == end;
}

}  // namespace

std::optional<SendState> LoadState(const std::string& path, std::string* error) {
  error->clear();
  errno = 0;
  std::optional<std::string> bytes = textfile::ReadAll(path);
  if (!bytes) {
    if (errno != ENOENT) *error = Describe(path, std::string("can not be read: ") + std::strerror(errno));
    return std::nullopt;
  }
  // Four lines of a fixed form, numbers in plain decimal.
  uint64_t dev = 0, ino = 0, offset = 0, next = 0;
  std::istringstream in(*bytes);
  std::string title, file, off, packet, rest;
  const bool read = std::getline(in, title) && title == kTitle && (in >> file) && file == "file" &&
                    Number(in, &dev) && Number(in, &ino) && (in >> off) && off == "offset" && Number(in, &offset) &&
                    (in >> packet) && packet == "next-packet" && Number(in, &next) && !(in >> rest) &&
                    bytes->back() == '\n';
  if (!read || next > datagram::kMaxPacketNumber) {
    *error = Describe(path, "is damaged (remove it to start again at the end of the log)");
    return std::nullopt;
  }
  SendState s;
  s.position = {{dev, ino}, offset};
  s.next_packet = static_cast<uint32_t>(next);
  return s;
}

bool SaveState(const std::string& path, const SendState& s, std::string* error) {
  char text[160];
  std::snprintf(text, sizeof text, "%s\nfile %" PRIu64 " %" PRIu64 "\noffset %" PRIu64 "\nnext-packet %" PRIu32 "\n",
                kTitle, s.position.file.dev, s.position.file.ino, s.position.offset, s.next_packet);
  const std::string temp = path + ".tmp";
  auto fail = [&](int code) {
    *error = Describe(path, std::string("can not be saved: ") + std::strerror(code));
    ::unlink(temp.c_str());
    return false;
  };
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(errno);
  if (!WriteAll(fd, text) || ::fsync(fd) != 0) {
    const int code = errno;
    ::close(fd);
    return fail(code);
  }
  if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace tallysend
