// FaultEnv: an Env (env.h) that does the file calls of the Env beneath it
// except where a test tells it to fail them, as a full or failing disk
// would, and counts the calls.
//
// A rule names a kind of call, a part of a file's path (empty: every file)
// and the errno to fail with. It fails the matching calls after the first
// `skip` ones, `times` of them (0: until cleared). A write the rule fails
// may first write part of its bytes, as a write that meets a full disk does
// (`short_write`): the call reports the bytes written and the next matching
// call fails. Writes and syncs know their file by the path it was opened
// with through this Env (renamed with it); a file opened otherwise has the
// path "".
//
// Made, it installs itself for the process (env::Install) over the Env
// found then, and puts that back when destroyed: make it before the code
// under test starts threads, destroy it after they ended. All calls are
// thread-safe.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "env.h"

namespace testkit {

class FaultEnv : public env::ForwardingEnv {
 public:
  enum class Call { kOpen, kWrite, kSync, kTruncate, kRename, kUnlink, kCount };

  struct Rule {
    Call call = Call::kWrite;
    std::string path_part;   // matches a path that contains it; "" matches all
    int error = ENOSPC;
    uint64_t skip = 0;       // matching calls let through first
    uint64_t times = 0;      // calls failed then; 0: until cleared
    bool short_write = false;
  };

  FaultEnv();
  ~FaultEnv() override;
  FaultEnv(const FaultEnv&) = delete;
  FaultEnv& operator=(const FaultEnv&) = delete;

  void Add(const Rule& rule);
  // Writes to files whose path contains `part` fail with ENOSPC until cleared.
  void FillDisk(const std::string& part = "") { Add({Call::kWrite, part, ENOSPC}); }
  // The `n`th write (1 first) from now to a matching file fails, once.
  void FailNthWrite(uint64_t n, const std::string& part = "", int error = ENOSPC) {
    Add({Call::kWrite, part, error, n - 1, 1});
  }
  // Syncs (fsync, fdatasync) of matching files fail with EIO until cleared.
  void FailSyncs(const std::string& part = "") { Add({Call::kSync, part, EIO}); }
  // Renames from or to a matching path fail until cleared.
  void FailRenames(const std::string& part = "", int error = EIO) { Add({Call::kRename, part, error}); }
  // Drops every rule: the disk has room and works again.
  void Clear();
  // What FreeSpace answers from now on; nullopt: what the system says.
  void SetFreeSpace(std::optional<uint64_t> bytes);

  // Calls of a kind made through this Env, and how many of them it failed.
  uint64_t Calls(Call call) const;
  uint64_t Failed(Call call) const;

  int Open(const std::string& path, int flags, mode_t mode = 0) override;
  int Close(int fd) override;
  ssize_t Write(int fd, const void* bytes, size_t n) override;
  ssize_t WriteAt(int fd, const void* bytes, size_t n, off_t at) override;
  int Sync(int fd) override;
  int DataSync(int fd) override;
  int Truncate(int fd, off_t size) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Unlink(const std::string& path) override;
  std::optional<uint64_t> FreeSpace(const std::string& path) override;

 private:
  struct Active {
    Rule rule;
    uint64_t seen = 0, failed = 0;
    bool cut = false;   // a short write was given; the next matching one fails
  };
  enum class Verdict { kPass, kFail, kShort };
  // Counts the call and tells whether a rule fails it (errno set then).
  Verdict Judge(Call call, const std::string& path, const std::string& other = "");
  std::string PathOf(int fd) const;
  // Judges a write of `n` bytes to `path` and makes it with `write` (the bytes
  // to write) unless failed.
  ssize_t WriteThrough(const std::string& path, size_t n, const std::function<ssize_t(size_t)>& write);

  env::Env* previous_;
  mutable std::mutex mu_;
  std::vector<Active> rules_;
  std::map<int, std::string> paths_;
  std::optional<uint64_t> free_space_;
  uint64_t calls_[static_cast<int>(Call::kCount)] = {};
  uint64_t failed_[static_cast<int>(Call::kCount)] = {};
};

}  // namespace testkit
