// sqlite_pool: idle SQLite connections kept for reuse (private to
// platform/ado), as an OLE DB provider pools its sessions.
//
// A session that closes cleanly (no transaction, no pending statement)
// hands its sqlite3 handle, compiled statements and column types to the
// pool; opening the same path with the same settings takes them again when
// the file at that path is still the one the handle has open (same device,
// inode and change time). So a program that opens a database for every
// datagram does not reopen the file, recreate the write-ahead log and
// checkpoint it every time. Idle handles are closed after 60 seconds, when
// more than eight wait, or at exit.
//
// Thread safety: all functions may be called from any thread; a handle is
// used by one session at a time.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "jet_sql.h"

namespace ado::detail {

struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  int64_t ctime_ns = 0;
  bool operator==(const FileIdentity& o) const {
    return dev == o.dev && ino == o.ino && ctime_ns == o.ctime_ns;
  }
};
FileIdentity IdentityOf(const struct stat& st);

// The index header of a write-ahead log, read from its shared-memory file
// `shm`: it changes with every commit to the log. Empty when unreadable.
std::string LogIndexHeader(const std::string& shm);

// A compiled statement and when it was last used (for least-recently-used
// eviction).
struct CachedStatement {
  sqlite3_stmt* stmt = nullptr;
  uint64_t used = 0;
};
using StatementCache = std::unordered_map<std::string, CachedStatement>;

struct PooledHandle {
  sqlite3* db = nullptr;
  std::string path;
  std::string key;       // path and settings
  FileIdentity file;     // the file at the path when the handle was given back
  FileIdentity wal;      // its write-ahead log then (zero when there was none)
  std::string log_index; // the log's index header then (LogIndexHeader)
  StatementCache statements;
  std::unordered_map<std::string, std::vector<jet::Column>> columns;
  int64_t schema_version = 0;
  uint64_t serial = 0;   // unique per opened handle in this process
  std::chrono::steady_clock::time_point idle_since;
};

// Takes a handle for `key` whose file is `file`. Idle handles on the same
// path that cannot serve (another file there now, other settings) are
// closed, so that they hold nothing open that the new session may need to
// change, such as the journal mode.
std::optional<PooledHandle> TakePooled(const std::string& path, const std::string& key,
                                       const FileIdentity& file);
// Keeps a handle (or closes it when the pool is full or gone).
void GivePooled(PooledHandle handle);
// Closes a handle and its statements.
void CloseHandle(PooledHandle& handle);

}  // namespace ado::detail
