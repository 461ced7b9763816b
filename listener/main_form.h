// MainForm: the listener's main window logic without widgets — datagram
// receipt and hand-off to the engine, the File and Tools commands, sorting
// and the closing steps. A front (windowed or headless) owns the widgets or
// the terminal and forwards events here; tests drive it directly.
//
// Receipt: every datagram the sockets read goes first into its entry's
// durable spool (spool.h), in arrival order; passes take the oldest
// datagram of each entry in turn and hand it to a new Score_Class with the
// datagram's identity (spool key and number, skipped by the engine when the
// database's ledger has it) and
// entry's settings as they are then (connection string, log path, port
// text, raw-logging flag), one pass at a time: a datagram that arrives
// while a pass waits at a prompt (a nested event loop) waits its turn. A
// datagram leaves the spool when its pass has ended; one whose pass could
// not begin (the database cannot be opened or written, or stays locked)
// stays at the head of its entry's spool and is tried again after a pause
// that grows from 1 to 60 seconds, before any newer datagram of that entry,
// while other entries go on. A failing pass is shown in the status label and
// on standard error; receiving goes on. Stop (before the program ends) ends
// the hand-over: what waits stays in the spools for the next start.
//
// All members run on the user-interface thread; MainForm does not own the
// state, the front or the dialogs.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "com.h"
#include "front.h"
#include "main_module.h"
#include "score_class.h"
#include "spool.h"

namespace tallyhost {

class MainForm : public QObject {
  Q_OBJECT

 public:
  MainForm(MainState& state, FormView& view, Dialogs& dialogs, QObject* parent = nullptr);
  ~MainForm() override;

  // Connects the sockets' arrivals to the receipt (call after Main).
  void StartReceiving();

  // File menu.
  void FileRaw();
  void FileSave();
  // The closing steps: save the connections file, store the settings.
  void ClosingSteps();

  // A click on a column header (0-based column).
  void ColumnClick(int column);

  // Tools menu; Port, Database, Logon, Log and Delete act on the selected row.
  void ToolsPort();
  void ToolsDatabase();
  void ToolsLogon();
  void ToolsLog();
  void ToolsAdd();
  void ToolsDelete();

  // Receipt.
  size_t Pending() const;   // datagrams received and not yet dealt with
  bool Busy() const { return busy_; }
  uint64_t HandedOver() const { return handed_over_; }
  uint64_t Failed() const { return failed_; }
  uint64_t Deferred() const { return deferred_; }
  uint64_t AlreadyStored() const { return already_stored_; }
  // Hands the next waiting datagram over, taking the entries in turn and
  // passing over an entry whose pause after a deferred pass (1 s, doubling
  // to at most a minute, on env's monotonic clock) has not ended; the
  // arrival and retry timers call it.
  void HandOverNext();
  // Ends the hand-over before the program ends, within a few seconds:
  // everything received stays in the spools; datagrams that no spool could
  // take are handed over while the database takes them at once, and the
  // rest are counted and reported as lost.
  void Flush();

  // The status label's text, also kept here for the headless front.
  const std::string& Status() const { return status_; }

 signals:
  // Emitted after each pass with its datagram's status text.
  void Passed();

 private:
  // One entry's waiting datagrams: its spool, and in memory those the
  // spool could not take (its file could not be written).
  struct EntryQueue {
    std::shared_ptr<Spool> spool;
    std::deque<SpooledDatagram> memory;
    std::chrono::steady_clock::time_point retry_at{};
    std::chrono::milliseconds pause{0};
    // The spool's waiting datagrams were checked against the database's
    // ledger since the spool was opened.
    bool checked = false;
    uint64_t sync_failures_seen = 0;   // the spool's failed syncs already reported
    bool sync_failing_said = false;    // said that its syncs fail, not yet that they work again
  };
  enum class PassEnd { Done, Deferred };
  // An entry's settings as a pass takes them.
  struct EntrySettings {
    std::string connection_string, log_path, port_text;
  };

  void Collect();
  void ReportSyncFailures();
  void SkipStored(int element, EntryQueue& q);
  void OnArrived();
  void Continue();
  void ScheduleRetry();
  std::shared_ptr<Spool> SpoolOf(int element, int32_t port);
  PassEnd HandOver(int element, const SpooledDatagram& d, uint64_t waiting, const std::string& spool_key);
  void SetStatus(const std::string& text);
  Dialogs::Placement DialogPlace() const;
  void SaveOrReport();

  MainState& s_;
  FormView& view_;
  Dialogs& dialogs_;
  std::string spool_folder_;
  std::mutex spools_mu_;   // the network thread's sink reads spools_
  std::map<int, std::shared_ptr<Spool>> spools_;
  std::map<int, EntryQueue> queues_;
  std::map<int, EntrySettings> retired_;   // deleted entries whose datagrams were read
  int last_element_ = 0;
  bool busy_ = false, stopping_ = false;
  bool continuation_posted_ = false;
  QTimer* retry_timer_ = nullptr;
  QTimer* sync_timer_ = nullptr;
  com::ComPtr<tallycore::_Score_Class> current_;
  uint64_t handed_over_ = 0, failed_ = 0, deferred_ = 0, already_stored_ = 0;
  uint64_t kernel_drops_seen_ = 0;
  std::chrono::steady_clock::time_point drops_checked_{};
  std::string status_;
};

}  // namespace tallyhost
