// MainForm: the listener's main window logic without widgets — datagram
// receipt and hand-off to the engine, the File and Tools commands, sorting
// and the closing steps. A front (windowed or headless) owns the widgets or
// the terminal and forwards events here; tests drive it directly.
//
// Receipt: every datagram the sockets read is queued in arrival order with
// its entry's settings as they are at its arrival (connection string, log
// path, port text, raw-logging flag) and handed to a new Score_Class, one
// pass at a time: a datagram that arrives while a pass waits at a prompt
// (a nested event loop) is handed over after that pass returns. A failing
// pass is shown in the status label and on standard error; receiving goes
// on.
//
// All members run on the user-interface thread; MainForm does not own the
// state, the front or the dialogs.
#pragma once

#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "com.h"
#include "front.h"
#include "main_module.h"
#include "score_class.h"

namespace tallyhost {

class MainForm : public QObject {
  Q_OBJECT

 public:
  MainForm(MainState& state, FormView& view, Dialogs& dialogs, QObject* parent = nullptr);

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
  size_t Pending() const { return pending_.size(); }
  bool Busy() const { return busy_; }
  uint64_t HandedOver() const { return handed_over_; }
  uint64_t Failed() const { return failed_; }
  // Hands over everything received so far (used before the program ends).
  void Flush();

  // The status label's text, also kept here for the headless front.
  const std::string& Status() const { return status_; }

 signals:
  // Emitted after each pass with its datagram's status text.
  void Passed();

 private:
  struct Queued {
    int element = 0;
    std::vector<uint8_t> data;
    std::string sender_address;
    int32_t sender_port = 0;
    int32_t local_port = 0;
    std::string port_text, connection_string, log_path;
    int16_t rawlog = 1;
    bool has_row = false;
  };

  void Collect();
  void OnArrived();
  void HandOverNext();
  void Continue();
  void HandOver(const Queued& q);
  void SetStatus(const std::string& text);
  Dialogs::Placement DialogPlace() const;
  void SaveOrReport();

  MainState& s_;
  FormView& view_;
  Dialogs& dialogs_;
  std::deque<Queued> pending_;
  bool busy_ = false;
  bool continuation_posted_ = false;
  com::ComPtr<tallycore::_Score_Class> current_;
  uint64_t handed_over_ = 0, failed_ = 0;
  std::string status_;
};

}  // namespace tallyhost
