#include "sqlite_pool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <mutex>

namespace ado::detail {
namespace {

constexpr auto kIdleLimit = std::chrono::seconds(60);
constexpr size_t kMaxIdle = 8;

// The first copy of the write-ahead log's index header at the start of
// the shared-memory file: every commit to the log changes it. In it, the
// number of valid frames in the log (native 32-bit) at byte 16; after the
// header's two copies, the number of frames already copied back into the
// database file at byte 96.
constexpr size_t kLogIndexHeaderBytes = 48;
constexpr size_t kLogFramesOffset = 16;
constexpr size_t kLogCopiedFramesOffset = 96;

bool g_pool_gone = false;   // set when the pool has been destroyed at exit

// The first `bytes` bytes of a shared-memory file; empty when unreadable.
std::string ShmFront(const std::string& shm, size_t bytes) {
  const int fd = ::open(shm.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string front(bytes, '\0');
  const ssize_t n = ::pread(fd, front.data(), front.size(), 0);
  ::close(fd);
  return n == static_cast<ssize_t>(front.size()) ? front : std::string();
}

// Whether the log behind `front` (ShmFront up to the copied-frames count)
// holds frames not yet copied into its database file.
bool HoldsUncopiedFrames(const std::string& front) {
  uint32_t frames = 0, copied = 0;
  std::memcpy(&frames, front.data() + kLogFramesOffset, sizeof frames);
  std::memcpy(&copied, front.data() + kLogCopiedFramesOffset, sizeof copied);
  return frames > copied;
}

class Pool {
 public:
  ~Pool() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& h : idle_) CloseHandle(h);
    idle_.clear();
    g_pool_gone = true;
  }

  std::optional<PooledHandle> Take(const std::string& path, const std::string& key,
                                   const FileIdentity& file) {
    std::deque<PooledHandle> stale;
    std::optional<PooledHandle> found;
    {
      std::lock_guard<std::mutex> lock(mu_);
      Expire(&stale);
      for (auto it = idle_.begin(); it != idle_.end();) {
        if (it->path != path) {
          ++it;
        } else if (it->key != key || !(it->file == file)) {
          stale.push_back(std::move(*it));   // other settings, or another file there now
          it = idle_.erase(it);
        } else if (!found) {
          found = std::move(*it);
          it = idle_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& h : stale) CloseHandle(h);
    return found;
  }

  void Give(PooledHandle handle) {
    std::deque<PooledHandle> stale;
    {
      std::lock_guard<std::mutex> lock(mu_);
      Expire(&stale);
      handle.idle_since = std::chrono::steady_clock::now();
      idle_.push_back(std::move(handle));
      while (idle_.size() > kMaxIdle) {
        stale.push_back(std::move(idle_.front()));
        idle_.pop_front();
      }
    }
    for (auto& h : stale) CloseHandle(h);
  }

 private:
  void Expire(std::deque<PooledHandle>* stale) {
    auto now = std::chrono::steady_clock::now();
    while (!idle_.empty() && now - idle_.front().idle_since > kIdleLimit) {
      stale->push_back(std::move(idle_.front()));
      idle_.pop_front();
    }
  }

  std::mutex mu_;
  std::deque<PooledHandle> idle_;   // oldest first
};

Pool& ThePool() {
  static Pool pool;
  return pool;
}

}  // namespace

FileIdentity IdentityOf(const struct stat& st) {
  FileIdentity f;
  f.dev = st.st_dev;
  f.ino = st.st_ino;
  f.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return f;
}

std::string LogIndexHeader(const std::string& shm) { return ShmFront(shm, kLogIndexHeaderBytes); }

void CloseHandle(PooledHandle& handle) {
  for (auto& entry : handle.statements) sqlite3_finalize(entry.second.stmt);
  handle.statements.clear();
  handle.columns.clear();
  if (handle.db) {
    // Closing checkpoints the write-ahead log into the file and deletes the
    // log and shared-memory files, found by name. When the path holds
    // another file now (replaced or removed), the handle is retired without
    // a checkpoint, and SQLite leaves both files. A log there that is still
    // the one this handle had open, and that still holds frames not copied
    // into the old file, would be read, and checkpointed, into the file now
    // at the path, so it is removed with its shared-memory file, but only
    // while nobody has written to it since this handle was last used: a
    // program that wrote to the new file since then has taken the log over,
    // and its rows are in it. A log whose frames are all in the old file is
    // left: nothing in it reaches the new file (readers go to the file, the
    // next writer starts the log again), and a program that has opened the
    // new file may be about to write to it.
    struct stat st, wal;
    const bool replaced = ::stat(handle.path.c_str(), &st) != 0 || IdentityOf(st).dev != handle.file.dev ||
                          IdentityOf(st).ino != handle.file.ino;
    if (replaced) sqlite3_db_config(handle.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_close_v2(handle.db);
    const std::string log = handle.path + "-wal", shm = handle.path + "-shm";
    if (replaced && handle.wal.ino != 0 && ::stat(log.c_str(), &wal) == 0 &&
        IdentityOf(wal).dev == handle.wal.dev && IdentityOf(wal).ino == handle.wal.ino && !handle.log_index.empty()) {
      const std::string front = ShmFront(shm, kLogCopiedFramesOffset + sizeof(uint32_t));
      if (!front.empty() && front.compare(0, kLogIndexHeaderBytes, handle.log_index) == 0 && HoldsUncopiedFrames(front)) {
        ::unlink(log.c_str());
        ::unlink(shm.c_str());
      }
    }
  }
  handle.db = nullptr;
}

std::optional<PooledHandle> TakePooled(const std::string& path, const std::string& key,
                                       const FileIdentity& file) {
  if (g_pool_gone) return std::nullopt;
  return ThePool().Take(path, key, file);
}

void GivePooled(PooledHandle handle) {
  if (g_pool_gone) {
    CloseHandle(handle);
    return;
  }
  ThePool().Give(std::move(handle));
}

}  // namespace ado::detail
