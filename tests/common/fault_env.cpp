#include "fault_env.h"

namespace testkit {

FaultEnv::FaultEnv() : env::ForwardingEnv(env::Current()), previous_(env::Install(this)) {}

FaultEnv::~FaultEnv() { env::Install(previous_); }

void FaultEnv::Add(const Rule& rule) {
  std::lock_guard<std::mutex> lock(mu_);
  rules_.push_back({rule});
}

void FaultEnv::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  rules_.clear();
}

void FaultEnv::SetFreeSpace(std::optional<uint64_t> bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  free_space_ = bytes;
}

uint64_t FaultEnv::Calls(Call call) const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_[static_cast<int>(call)];
}

uint64_t FaultEnv::Failed(Call call) const {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_[static_cast<int>(call)];
}

FaultEnv::Verdict FaultEnv::Judge(Call call, const std::string& path, const std::string& other) {
  std::lock_guard<std::mutex> lock(mu_);
  ++calls_[static_cast<int>(call)];
  auto matches = [&](const std::string& part) {
    return part.empty() || path.find(part) != std::string::npos ||
           (!other.empty() && other.find(part) != std::string::npos);
  };
  for (Active& a : rules_) {
    if (a.rule.call != call || !matches(a.rule.path_part)) continue;
    if (a.seen++ < a.rule.skip) continue;
    if (a.rule.times > 0 && a.failed >= a.rule.times) continue;
    if (a.rule.short_write && !a.cut) {
      a.cut = true;   // this one writes part, the next one fails
      return Verdict::kShort;
    }
    ++a.failed;
    ++failed_[static_cast<int>(call)];
    errno = a.rule.error;
    return Verdict::kFail;
  }
  return Verdict::kPass;
}

std::string FaultEnv::PathOf(int fd) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = paths_.find(fd);
  return it == paths_.end() ? std::string() : it->second;
}

int FaultEnv::Open(const std::string& path, int flags, mode_t mode) {
  if (Judge(Call::kOpen, path) == Verdict::kFail) return -1;
  const int fd = beneath().Open(path, flags, mode);
  if (fd >= 0) {
    std::lock_guard<std::mutex> lock(mu_);
    paths_[fd] = path;
  }
  return fd;
}

int FaultEnv::Close(int fd) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    paths_.erase(fd);
  }
  return beneath().Close(fd);
}

ssize_t FaultEnv::WriteThrough(const std::string& path, size_t n, const std::function<ssize_t(size_t)>& write) {
  switch (Judge(Call::kWrite, path)) {
    case Verdict::kFail:
      return -1;
    case Verdict::kShort:
      return write(n > 1 ? n / 2 : n);
    case Verdict::kPass:
      break;
  }
  return write(n);
}

ssize_t FaultEnv::Write(int fd, const void* bytes, size_t n) {
  return WriteThrough(PathOf(fd), n, [&](size_t k) { return beneath().Write(fd, bytes, k); });
}

ssize_t FaultEnv::WriteAt(int fd, const void* bytes, size_t n, off_t at) {
  return WriteThrough(PathOf(fd), n, [&](size_t k) { return beneath().WriteAt(fd, bytes, k, at); });
}

int FaultEnv::Sync(int fd) {
  if (Judge(Call::kSync, PathOf(fd)) == Verdict::kFail) return -1;
  return beneath().Sync(fd);
}

int FaultEnv::DataSync(int fd) {
  if (Judge(Call::kSync, PathOf(fd)) == Verdict::kFail) return -1;
  return beneath().DataSync(fd);
}

int FaultEnv::Truncate(int fd, off_t size) {
  if (Judge(Call::kTruncate, PathOf(fd)) == Verdict::kFail) return -1;
  return beneath().Truncate(fd, size);
}

int FaultEnv::Rename(const std::string& from, const std::string& to) {
  if (Judge(Call::kRename, from, to) == Verdict::kFail) return -1;
  const int result = beneath().Rename(from, to);
  if (result == 0) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [fd, path] : paths_)
      if (path == from) path = to;
  }
  return result;
}

int FaultEnv::Unlink(const std::string& path) {
  if (Judge(Call::kUnlink, path) == Verdict::kFail) return -1;
  return beneath().Unlink(path);
}

std::optional<uint64_t> FaultEnv::FreeSpace(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (free_space_) return free_space_;
  }
  return beneath().FreeSpace(path);
}

}  // namespace testkit
