// A real PostgreSQL server for tests, and direct SQL on its databases.
//
// Shared() is the server of the test run: the one the CTest fixture started
// (scripts/pg-test-server.sh, its state file named by TALLY_PG_STATE), or,
// when that is absent or does not answer, one started for this process and
// stopped at its exit. A PgServer constructed directly is a private server
// (for tests that stop and start it), stopped by its destructor.
//
// Every test takes a database of its own (CreateDatabase), so tests run in
// parallel on one server. Names in direct SQL are matched to the catalog
// without regard to letter case and quoted, so tests write the same SQL as
// for SQLite.
//
// Not thread-safe; one test thread (a WriteLock may be released from another).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "test_env.h"

struct pg_conn;

namespace testkit {

class PgServer {
 public:
  static PgServer& Shared();
  explicit PgServer(bool durable = false);   // starts a private server
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  const std::string& SocketFolder() const { return dir_; }
  int Port() const { return port_; }
  // The provider's connection string of a database, over the Unix socket.
  std::string ConnectionString(const std::string& database) const;
  // The same over TCP with the user's password.
  std::string TcpConnectionString(const std::string& database, const std::string& password = "tally") const;

  // A new empty database with a unique name; DropDatabase ends its sessions.
  std::string CreateDatabase(const std::string& prefix = "t");
  void DropDatabase(const std::string& name);

  void Pause();    // stops the server (a private one only)
  void Resume();   // starts it again on the same port
  // Restarts the server (a private one only) so that the log of a commit
  // that does not wait for it (synchronous_commit off, the setting of a
  // server not started durable) stays in memory for 10 s: an immediate stop
  // (Pause) then loses every such commit of the last seconds.
  void HoldAsynchronousCommits();

 private:
  PgServer(std::string state_file, bool own);
  std::string state_;
  std::string dir_;
  int port_ = 0;
  bool own_ = false;
};

// Direct SQL on a database of the shared server (or of `server`): rows as
// testkit::SqlRows gives them (texts, integers in decimal, reals with %g,
// date-times "YYYY-MM-DD HH:MM:SS", bytes as stored, NULL as "NULL").
std::vector<std::vector<std::string>> PgRows(const PgServer& server, const std::string& database,
                                             const std::string& sql);
void PgExec(const PgServer& server, const std::string& database, const std::string& sql);

// Holds write locks on every table of a database from a connection of its
// own (BEGIN; LOCK TABLE ... IN EXCLUSIVE MODE): readers go on, writers wait.
class PgWriteLock : public DbLock {
 public:
  PgWriteLock(const PgServer& server, const std::string& database);
  ~PgWriteLock() override { Release(); }
  PgWriteLock(const PgWriteLock&) = delete;
  PgWriteLock& operator=(const PgWriteLock&) = delete;
  void Exec(const std::string& sql) override;
  void Commit() override;
  void Release() override;

 private:
  pg_conn* conn_ = nullptr;
  const PgServer& server_;
  std::string database_;
};

}  // namespace testkit
