// sqlite_locks: keeps the process's SQLite file locks on descriptors that
// nothing else in the process can close.
//
// POSIX record locks (fcntl F_SETLK) belong to the process, and closing ANY
// descriptor of a file drops all of them: a file dialog, a type sniffer or a
// plain open/close of the database file elsewhere in the program would
// silently release the locks SQLite holds, and another program could then
// checkpoint and delete the write-ahead log while we still write.
//
// KeepSqliteLocks() replaces the unix VFS's "fcntl" and "close" system calls.
// Every lock request SQLite makes (F_SETLK, F_SETLKW, F_GETLK) on a file is
// turned into the matching open-file-description lock (F_OFD_*) on ONE
// descriptor per file (device and inode) that this module opens itself
// through /proc/self/fd and never hands out. Open-file-description locks
// conflict with other processes' POSIX locks, so the sqlite3 shell and other
// programs still see them; inside the process SQLite already shares one lock
// state per inode among its connections, so one owner per inode gives the
// same results as before. The database file and its -shm file are handled
// alike. The dedicated descriptor of a file is closed when SQLite closes the
// last of its own descriptors of that file (which is when plain POSIX locks
// would end too). A file replaced at the same path is another inode and gets
// a descriptor of its own.
//
// Call before the first SQLite connection opens; later calls, and calls
// from another copy of this module in the same process (the engine library
// links its own), do nothing. Without /proc, locks stay plain POSIX locks.
// Thread safety: the installed calls may run on any thread.
#pragma once

namespace ado {

// Installs the lock keeper once per process; returns true when it is active.
bool KeepSqliteLocks();

// For tests: whether the lock keeper is installed in this process.
bool SqliteLocksKept();

}  // namespace ado
