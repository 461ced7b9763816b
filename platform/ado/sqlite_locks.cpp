// The lock keeper: SQLite's fcntl locks moved onto descriptors of our own.
#include "sqlite_locks.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

namespace ado {
namespace {

// Registered (never used for opening) so that every copy of this module in
// the process sees that the system calls have been replaced already.
constexpr const char* kMarkerVfs = "tally-lock-keeper";

using FcntlFn = int (*)(int, int, ...);
using CloseFn = int (*)(int);
using FileKey = std::pair<dev_t, ino_t>;

struct Owner {
  int fd = -1;            // the dedicated descriptor that holds the locks
  std::set<int> users;    // SQLite's descriptors of this file that have locked
};

FcntlFn g_real_fcntl = nullptr;
CloseFn g_real_close = nullptr;
std::mutex g_mu;
std::map<FileKey, Owner> g_owners;
std::unordered_map<int, FileKey> g_user_key;

// Forgets `fd` as a user of its file; returns the dedicated descriptor to
// close when it was the last one, or -1.
int ForgetUser(int fd) {
  auto u = g_user_key.find(fd);
  if (u == g_user_key.end()) return -1;
  int to_close = -1;
  auto o = g_owners.find(u->second);
  if (o != g_owners.end()) {
    o->second.users.erase(fd);
    if (o->second.users.empty()) {
      to_close = o->second.fd;
      g_owners.erase(o);
    }
  }
  g_user_key.erase(u);
  return to_close;
}

// The dedicated descriptor for SQLite's descriptor `fd`, opened on first
// use; -1 when none can be had (the caller then locks `fd` itself).
int OwnerFor(int fd) {
  {
    // SQLite closes its descriptors through KeptClose, which forgets them,
    // so a number still known is still the file it was.
    std::lock_guard<std::mutex> lock(g_mu);
    auto u = g_user_key.find(fd);
    if (u != g_user_key.end()) {
      auto o = g_owners.find(u->second);
      if (o != g_owners.end()) return o->second.fd;
    }
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  const FileKey key{st.st_dev, st.st_ino};
  int stale = -1;
  std::lock_guard<std::mutex> lock(g_mu);
  auto u = g_user_key.find(fd);
  if (u != g_user_key.end() && u->second != key) stale = ForgetUser(fd);   // number reused
  auto o = g_owners.find(key);
  if (o == g_owners.end()) {
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    int own = ::open(proc_path, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (own < 0) own = ::open(proc_path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (own < 0) {
      if (stale >= 0) g_real_close(stale);
      return -1;
    }
    struct stat own_st;
    if (::fstat(own, &own_st) != 0 || own_st.st_dev != key.first || own_st.st_ino != key.second) {
      g_real_close(own);
      if (stale >= 0) g_real_close(stale);
      return -1;
    }
    o = g_owners.emplace(key, Owner{own, {}}).first;
  }
  o->second.users.insert(fd);
  g_user_key[fd] = key;
  if (stale >= 0) g_real_close(stale);
  return o->second.fd;
}

int KeptFcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  int ofd_cmd = 0;
  switch (cmd) {
    case F_SETLK: ofd_cmd = F_OFD_SETLK; break;
    case F_SETLKW: ofd_cmd = F_OFD_SETLKW; break;
    case F_GETLK: ofd_cmd = F_OFD_GETLK; break;
    default: return g_real_fcntl(fd, cmd, arg);
  }
  const int own = OwnerFor(fd);
  if (own < 0 || arg == nullptr) return g_real_fcntl(fd, cmd, arg);
  auto* request = static_cast<struct flock*>(arg);
  struct flock l = *request;
  l.l_pid = 0;   // required for open-file-description locks
  const int rc = g_real_fcntl(own, ofd_cmd, &l);
  if (rc == 0 && ofd_cmd == F_OFD_GETLK) *request = l;
  return rc;
}

int KeptClose(int fd) {
  int own;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    own = ForgetUser(fd);
  }
  const int rc = g_real_close(fd);
  if (own >= 0) g_real_close(own);   // drops this file's locks, as the last close would
  return rc;
}

bool Install() {
  if (sqlite3_initialize() != SQLITE_OK) return false;
  sqlite3_mutex* mu = sqlite3_mutex_alloc(SQLITE_MUTEX_STATIC_APP1);
  sqlite3_mutex_enter(mu);
  bool active = sqlite3_vfs_find(kMarkerVfs) != nullptr;
  sqlite3_vfs* vfs = sqlite3_vfs_find("unix");
  if (!active && vfs && vfs->iVersion >= 3 && ::access("/proc/self/fd", F_OK) == 0) {
    g_real_fcntl = reinterpret_cast<FcntlFn>(vfs->xGetSystemCall(vfs, "fcntl"));
    g_real_close = reinterpret_cast<CloseFn>(vfs->xGetSystemCall(vfs, "close"));
    if (g_real_fcntl && g_real_close &&
        vfs->xSetSystemCall(vfs, "fcntl", reinterpret_cast<sqlite3_syscall_ptr>(&KeptFcntl)) == SQLITE_OK) {
      if (vfs->xSetSystemCall(vfs, "close", reinterpret_cast<sqlite3_syscall_ptr>(&KeptClose)) == SQLITE_OK) {
        static sqlite3_vfs marker = *vfs;
        marker.zName = kMarkerVfs;
        sqlite3_vfs_register(&marker, 0);
        active = true;
      } else {
        vfs->xSetSystemCall(vfs, "fcntl", nullptr);
      }
    }
  }
  sqlite3_mutex_leave(mu);
  return active;
}

}  // namespace

bool KeepSqliteLocks() {
  static const bool active = Install();
  return active;
}

bool SqliteLocksKept() { return sqlite3_vfs_find(kMarkerVfs) != nullptr; }

}  // namespace ado
