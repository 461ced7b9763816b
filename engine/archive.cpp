// The packet archive: every datagram is stored whole in Logs before it is
// read; then it becomes the datagram text, and the raw log is written.
#include <climits>

#include "datetime.h"
#include "lock_retry.h"
#include "msgbox.h"
#include "score_module.h"
#include "scoring.h"
#include "textfile.h"

namespace tallycore {
namespace {

// True when the database has no table Logs (a file replaced by an empty
// one, say): such a database cannot take the datagram now, however the
// failure is answered.
bool LogsTableMissing(ado::Connection& c) {
  try {
    auto rs = c.OpenSchema(ado::kSchemaTables);
    bool found = false;
    if (!rs->Eof()) rs->MoveFirst();
    for (; !rs->Eof() && !found; rs->MoveNext())
      found = rs->Field("TABLE_TYPE").AsText() == "TABLE" && rs->Field("TABLE_NAME").AsText() == "Logs";
    rs->Close();
    return !found;
  } catch (const ado::Error&) {
    return false;   // the failure itself is handled as it comes
  }
}

}  // namespace

void ArchivePacket() {
  auto& s = State();
  lockretry::LockRetryPolicy policy;   // one counter for the whole archive
  msgbox::WaitScope wait;
  enum { kNextRecord, kOpen, kAddNew, kFill, kUpdate, kDone } step = kNextRecord;
  std::shared_ptr<ado::Recordset> rs;
  bool row_started = false;
  int duplicates = 0;
  const int base = s.EngineConnection->TransactionLevel();
  while (step != kDone) {
    try {
      switch (step) {
        case kNextRecord:
          NewRowNumber("Logs");
          step = kOpen;
          break;
        case kOpen:
          s.QueryText = "Select * From Logs";
          rs = std::make_shared<ado::Recordset>();
          s.EngineRecordset = rs;
          rs->Open(s.QueryText, *s.EngineConnection, ado::kOpenDynamic, ado::kLockOptimistic);
          step = kAddNew;
          break;
        case kAddNew:
          rs->AddNew();
          row_started = true;
          step = kFill;
          break;
        case kFill:
          rs->SetField("Record", ado::Value::Integer(s.NextRecord));
          rs->SetField("Log_IP", ado::Value::Text(s.ConnectedIPAddress));
          rs->SetField("Log_Port", ado::Value::Integer(s.ConnectedPortAddress));
          rs->AppendChunk("Log_Data", s.UDPData);
          rs->SetField("Log_Date", ado::Value::DateTime(datetime::Now()));
          step = kUpdate;
          break;
        case kUpdate:
          // Within a pass the insert has a savepoint of its own, so that a
          // failed attempt can be undone alone on every database.
          if (base > 0) s.EngineConnection->BeginTrans();
          rs->Update();
          if (base > 0) s.EngineConnection->CommitTrans();
          row_started = false;
          rs->Close();
          s.LogRecord = s.NextRecord;
          RememberStoredRecord("Logs", s.NextRecord);
          step = kDone;
          break;
        case kDone:
          break;
      }
    } catch (const ado::Error& e) {
      ado::Connection& c = *s.EngineConnection;
      if (e.Unavailable() || c.TransactionLevel() < base) throw ado::Error(e.Number(), e.Description(), true);
      if (c.TransactionLevel() > base) c.RollbackTrans();
      // Without its table the datagram waits for the database, as for a
      // missing file, rather than going on unarchived or being lost.
      if ((step == kNextRecord || step == kOpen) && LogsTableMissing(c))
        throw ado::Error(e.Number(), "The database has no table Logs: " + e.Description(), true);
      switch (policy.OnFailure(e)) {
        case lockretry::Decision::Retry:
          break;
        case lockretry::Decision::Duplicate:
          ForgetLargestRecord("Logs");
          rs->CancelUpdate();
          row_started = false;
          // A key that stays duplicate whatever the number would never end.
          if (++duplicates == kMaxDuplicateRetries || s.NextRecord == INT32_MAX)
            throw PassFailure(e.Number(), "The datagram's Logs row met a duplicate key " +
                                              std::to_string(duplicates) + " times in a row: " +
                                              e.Description());
          ++s.NextRecord;
          step = kAddNew;
          break;
        case lockretry::Decision::Ignore:
          s.LastPass.ignored.push_back("the datagram's Logs row");
          if (row_started) rs->CancelUpdate();
          s.LogRecord = 0;
          if (rs && rs->IsOpen()) rs->Close();
          return;
        case lockretry::Decision::Stop:
          throw PassStop{};
      }
    }
  }
}

void MakeDatagramText() {
  auto& s = State();
  s.DatagramText.assign(s.UDPData.begin(), s.UDPData.end());
  s.UDPData.assign(1, 0);
  if (s.rawlog == 1) {
    std::string path = s.LogFolder + "/Logout.log";
    // As for the process log: the datagram waits until the raw log can be
    // written, rather than being stored without its scores.
    if (!textfile::AppendLine(path, s.DatagramText))
      throw PassDeferred{ado::kErrProvider, "Can't write the raw log " + path + "."};
  }
}

}  // namespace tallycore
