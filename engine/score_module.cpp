// The processing pass: process log, connection, provider types, then the
// archive and the parsing phases, and the completion line.
#include "score_module.h"

#include <cmath>
#include <cstdlib>

#include "datetime.h"
#include "kill_points.h"
#include "lock_retry.h"
#include "msgbox.h"
#include "paths.h"
#include "received_ledger.h"
#include "rounding.h"
#include "scoring.h"
#include "textfile.h"

namespace tallycore {

EngineState& State() {
  thread_local EngineState state;
  return state;
}

namespace {

const char kCrLf[] = "\r\n";

// The number in the process log's last line, 0 when there is none.
int32_t LastProcessNumber(const std::string& last_line) {
  size_t at = last_line.find("Process# ");
  if (at == std::string::npos) return 0;
  size_t from = at + 9;
  size_t semi = last_line.find(';', from);
  double number = rounding::RoundHalfEven(
      LeadingNumber(last_line.substr(from, semi == std::string::npos ? std::string::npos : semi - from)));
  // A number that leaves no next one counts as none.
  return number >= -2147483648.0 && number < 2147483647.0 ? static_cast<int32_t>(number) : 0;
}

std::string LogLine(const char* what) {
  auto& s = State();
  return "Process# " + std::to_string(s.ProcessNumber) + what +
         datetime::FormatGeneral(datetime::Now()) + ";ListenPort=" + std::to_string(s.ListenPort) +
         ";ConnectedIPAddress=" + s.ConnectedIPAddress + ";ConnectedPort=" +
         std::to_string(s.ConnectedPortAddress) + ";Database=" + s.LoggedConnectionString;
}

// Appends a line to the process log; `now` is the log's stamp when the
// caller has just looked.
bool WriteLogLine(const char* what, const std::optional<textfile::FileStamp>& now = std::nullopt) {
  auto& s = State();
  return s.ProcessLog.Append(s.LogPath, LogLine(what), now);
}

void ShowProgramFolderMessage() {
  msgbox::MsgBox("Can't locate program path " + State().LogPath + " for ActiveX dll." + kCrLf +
                     "Uninstall then re-install this program...it that doesn't work then email " +
                     kSupportAddress + kCrLf + "Program is terminating.",
                 msgbox::vbOKOnly, "Error: Can not locate Application Path");
}

void ShowLogPathMessage() {
  msgbox::MsgBox("Can't locate path to log " + State().LogPath + "." + kCrLf +
                     "Select a new log path...it that doesn't work then email " +
                     kSupportAddress + kCrLf + "Program is terminating.",
                 msgbox::vbOKOnly, "Error: Can not locate Log Path");
}

// Steps 1 and 2: the program folder and the STARTED line. False ends the pass.
bool StartProcessLog() {
  auto& s = State();
  if (s.LogPath.empty()) {
    try {
      s.ProgID = kProgID;
      s.DllFileName = kLibraryName;
      s.DefaultProgramFolder = paths::DefaultProgramFolder();
      s.LogFolder = LocateProgramFolder(s.ProgID, s.DllFileName, s.DefaultProgramFolder);
      s.LogPath = s.LogFolder + "/Process.log";
    } catch (const std::exception&) {
      ShowProgramFolderMessage();
      return false;
    }
  }
  size_t slash = s.LogPath.rfind('/');
  if (slash == std::string::npos) {
    ShowLogPathMessage();
    return false;
  }
  s.LogFolder = s.LogPath.substr(0, slash);
  bool ok = true;
  auto stamp = textfile::StampOf(s.LogPath);
  if (!stamp && !s.LogFolder.empty() && !textfile::DirectoryExists(s.LogFolder)) {
    // The default program folder is made with its parents; any other log
    // folder one level deep.
    ok = s.LogFolder == paths::DefaultProgramFolder() ? textfile::CreateDirectories(s.LogFolder)
                                               : textfile::CreateDirectory(s.LogFolder);
  }
  int32_t last = 0;
  if (ok) {
    if (stamp && s.ProcessLog.LeftAs(s.LogPath, *stamp)) {
      last = s.ProcessNumber;   // nobody wrote since this thread's last line
    } else if (!textfile::FileExists(s.LogPath)) {
      stamp.reset();
      ok = textfile::WriteLines(s.LogPath, {});
    } else {
      auto line = textfile::ReadLastLine(s.LogPath);
      ok = line.has_value();
      if (ok) last = LastProcessNumber(*line);
    }
  }
  if (ok) {
    s.ProcessNumber = last + 1;
    s.LoggedConnectionString = MakeLoggedConnectionString(s.ConnectionString);
    ok = WriteLogLine(" STARTED ", stamp);
  }
  if (!ok) ShowLogPathMessage();
  return ok;
}

// Releases the connection; an open transaction is rolled back.
void ReleaseConnection() {
  auto& s = State();
  s.EngineRecordset.reset();
  if (s.EngineConnection) {
    try {
      if (s.EngineConnection->InTransaction()) s.EngineConnection->RollbackTrans();
      s.EngineConnection->Close();
    } catch (const std::exception&) {
      // The connection goes away below in any case.
    }
    s.EngineConnection.reset();
  }
}

// Opens the connection and begins the pass's write transaction. A lock met
// on the way (opening or beginning) is retried under the lock-retry policy;
// anything else, or a lock the policy gives up on, means the pass cannot
// begin: nothing is stored and the datagram can be handed over again.
// With `with_ledger` the ledger's table is made first when it is missing.
void BeginPass(bool with_ledger) {
  auto& s = State();
  lockretry::LockRetryPolicy policy;
  while (true) {
    try {
      if (!s.EngineConnection) {
        auto connection = std::make_shared<ado::Connection>();
        connection->Open(s.ConnectionString, "", "", ado::kOptionUnspecified);
        connection->WatchRows(RememberedTables());
        s.EngineConnection = connection;
      }
      // The ledger's table is made outside the pass's transaction, once per
      // database.
      if (with_ledger && s.LedgerReadyFor != s.ConnectionString) {
        ledger::EnsureTable(*s.EngineConnection);
        s.LedgerReadyFor = s.ConnectionString;
      }
      // The pass's own level: a caller may already hold a transaction on
      // the connection (a session decorator), which the pass leaves alone.
      s.PassLevel = s.EngineConnection->TransactionLevel() + 1;
      s.EngineConnection->BeginTrans();
      return;
    } catch (const ado::Error& e) {
      if (lockretry::ClassifyFailure(e) != lockretry::FailureClass::Lock)
        throw PassDeferred{e.Number(), e.Description()};
      switch (policy.OnFailure(e)) {
        case lockretry::Decision::Retry:
          continue;
        case lockretry::Decision::Stop:
          throw PassStop{};
        default:
          throw PassDeferred{e.Number(), e.Description()};
      }
    }
  }
}

// The datagram's identity, in the pass's transaction: true when the
// ledger has it already (nothing more is done), else it is recorded there and
// commits with the pass's rows. A ledger that cannot be read or written
// leaves the datagram waiting.
bool AlreadyStored(const EngineState::DatagramIdentity& id) {
  auto& s = State();
  if (id.sequence == 0) return false;
  try {
    const uint64_t through = ledger::CommittedThrough(*s.EngineConnection, id.spool_key);
    if (through >= id.sequence) return true;
    ledger::Record(*s.EngineConnection, id.spool_key, id.sequence, through, datetime::Now());
    return false;
  } catch (const ado::Error& e) {
    s.LedgerReadyFor.clear();   // made again before the next pass
    throw PassDeferred{e.Number(), "The datagram's ledger in " + std::string(ledger::kTable) +
                                       " can not be used: " + e.Description()};
  } catch (const std::invalid_argument& e) {
    throw PassDeferred{ado::kErrProvider, e.what()};
  }
}

}  // namespace

// Commits the pass's own level (savepoints still open are released into
// it). A lock at commit is retried under the policy; a commit that cannot be
// done leaves nothing of the pass stored.
void CommitPass() {
  auto& s = State();
  if (!s.EngineConnection || !s.EngineConnection->IsOpen()) return;
  ado::Connection& c = *s.EngineConnection;
  lockretry::LockRetryPolicy policy;
  const int level = s.PassLevel;
  while (c.TransactionLevel() > level) c.CommitTrans();
  while (true) {
    try {
      if (c.TransactionLevel() < level) throw PassDeferred{ado::kErrProvider, "The pass's transaction was lost."};
      CommitAtKillPoints(c);
      return;
    } catch (const ado::Error& e) {
      if (e.Unavailable() || c.TransactionLevel() < level) throw PassDeferred{e.Number(), e.Description()};
      switch (policy.OnFailure(e)) {
        case lockretry::Decision::Retry:
          continue;
        case lockretry::Decision::Stop:
          c.RollbackTrans();
          throw PassStop{};
        default:
          throw PassDeferred{e.Number(), e.Description()};
      }
    }
  }
}

namespace {

// After a stop: the statements before the one stopped at stay stored.
void CommitBeforeStop() {
  auto& s = State();
  if (!s.EngineConnection || !s.EngineConnection->InTransaction()) return;
  ado::Connection& c = *s.EngineConnection;
  try {
    while (c.TransactionLevel() > s.PassLevel) c.RollbackTrans();   // the stopped statement's savepoint
    CommitPass();
  } catch (...) {
    // Nothing more can be stored; ReleaseConnection rolls back.
  }
}

// A pass that fails (a malformed datagram, a failure no step handles)
// keeps what it stored before the failure, as every statement did before
// it; then the failure reaches the caller.
void FinishFailedPass() {
  auto& s = State();
  if (s.EngineConnection && s.EngineConnection->InTransaction()) {
    try {
      CommitPass();
    } catch (...) {
      s.Games.clear();   // what memory holds may not be stored
    }
  }
  ReleaseConnection();
  ForgetPassCaches();
}

void Complete() {
  auto& s = State();
  s.EngineRecordset.reset();
  s.EngineConnection.reset();
  if (!WriteLogLine(" COMPLETED "))
    throw PassFailure(ado::kErrProvider, "Can't write to the process log " + s.LogPath + ".");
  s.LastPass.completed = true;
}

}  // namespace

std::string MakeLoggedConnectionString(const std::string& connection_string) {
  return ado::WithoutPassword(connection_string);
}

void ProcessPass() {
  auto& s = State();
  s.LastPass = PassOutcome{};
  const EngineState::DatagramIdentity identity = std::exchange(s.Identity, {});
  s.DetachedGame = GameSlots{};
  s.Game = &s.DetachedGame;
  // Without its process log line the pass does not begin; the datagram
  // can be handed over again once the log can be written.
  if (!StartProcessLog()) {
    s.LastPass.deferred = true;
    return;
  }
  s.LastPass.process_number = s.ProcessNumber;
  // The headless lock budget counts for the whole pass.
  msgbox::WaitScope pass_wait;
  // The current games as they were before the pass: a pass that stores
  // nothing must not leave its games behind in memory either. A deferred
  // pass also forgets the caches, so the next pass confirms its server's
  // game against the database (ConfirmCurrentGame) and would drop a game
  // rolled back here by itself; the restore keeps memory exact without
  // relying on that query.
  const auto games_before = s.Games;
  auto defer = [&](int32_t number, const std::string& description) {
    ReleaseConnection();
    s.Games = games_before;
    s.Game = &s.DetachedGame;
    ForgetPassCaches();
    s.LastPass.deferred = true;
    throw PassFailure(number, description);
  };
  try {
    ReleaseConnection();
    BeginPass(identity.sequence > 0);
    s.NumberingLocked.clear();
    // Before the pass's first write: the ledger's row would otherwise count
    // as a change, and nothing remembered would outlive a pass.
    BeginPassCaches();
    if (AlreadyStored(identity)) {
      ReleaseConnection();
      s.Game = &s.DetachedGame;
      s.LastPass.already_stored = true;
      return;
    }
    if (s.ProviderTypesScannedFor != s.ConnectionString) {
      s.ProviderTypesScannedFor.clear();
      ScanProviderTypes();
      s.ProviderTypesScannedFor = s.ConnectionString;
    }
    ArchivePacket();
    MakeDatagramText();
    size_t record_start = 0;
    if (IdentifyServer(&record_start)) WalkRecords(record_start);
    // Taken inside the transaction: the stamp does not change with this
    // connection's own commit, and a commit that fails forgets the caches.
    KeepPassCaches();
    CommitPass();
    Complete();
  } catch (const PassStop&) {
    // The user chose Cancel: what was stored before the stopped statement
    // stays, nothing more is stored and no COMPLETED line is written; the
    // connection is let go so that nothing keeps other programs out.
    CommitBeforeStop();
    ReleaseConnection();
    ForgetPassCaches();
    s.LastPass.stopped = true;
  } catch (const PassDeferred& d) {
    defer(d.number, d.description);
  } catch (const ado::Error& e) {
    if (e.Unavailable()) defer(e.Number(), e.Description());
    FinishFailedPass();
    throw;
  } catch (...) {
    FinishFailedPass();
    throw;
  }
}

}  // namespace tallycore
