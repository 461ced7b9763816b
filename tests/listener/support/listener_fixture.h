// The listener under test: MainState in a temporary folder, driven through a
// scripted front and message boxes; real UDP over loopback, real SQLite.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "entry_status.h"
#include "front.h"
#include "scripted_boxes.h"
#include "main_form.h"
#include "main_module.h"
#include "msgbox.h"
#include "test_env.h"
#include "text_rules.h"

namespace listenertest {

using ::testing::HasSubstr;
using Texts = std::vector<std::string>;
using Datagrams = std::vector<std::vector<uint8_t>>;

// A 1024 x 768 screen; a text is 90 twips wide per character. The dialogs
// answer from queues; an empty queue or nullopt answers "closed without OK".
class ScriptedFront : public tallyhost::FormView, public tallyhost::Dialogs {
 public:
  bool HasScreen() const override { return true; }
  double ScreenWidth() const override { return 1024 * 15; }
  double ScreenHeight() const override { return 768 * 15; }
  void SetTop(float v) override { top = v; }
  void SetLeft(float v) override { left = v; }
  void SetHeight(float v) override { height = v; }
  void SetWidth(float v) override { width = v; }
  float Top() const override { return top; }
  float Left() const override { return left; }
  float Height() const override { return height; }
  float Width() const override { return width; }
  double MeasureText(const std::string& text) override { return 90.0 * text.size(); }
  void SetColumnWidth(int c, float t) override { columns[c] = t; }
  float ColumnWidth(int c) const override { return columns.count(c) ? columns.at(c) : 0; }
  void LayOut() override {}
  void SetStatus(const std::string& text) override { statuses.push_back(text); }
  void SetToolsDatabaseCaption(const std::string& c) override { database_caption = c; }
  void Show() override { shown = true; }

  bool ShowLogin(const std::string& l1, const std::string& l2, tallyhost::LogonTester& tester) override;
  bool ShowSingleValue(const std::string& caption, const std::string& label, std::string* text, Placement) override;
  bool ShowSingleSelect(const std::string& caption, const std::string& label, const std::vector<std::string>& items,
                        std::string* text, Placement) override;
  std::optional<std::string> ShowFileDialog(const std::string& filter, const std::string& file_name) override;
  std::optional<std::string> PromptNew(const std::string& current) override;

  float top = 0, left = 0, height = 0, width = 0;
  std::map<int, float> columns;
  std::vector<std::string> statuses;
  std::string database_caption;
  bool shown = false;

  std::deque<std::optional<std::string>> values, selects, files, data_links;
  std::deque<std::optional<std::pair<std::string, std::string>>> logons;   // user, password
  struct Seen {
    std::string caption, label, text;
    std::vector<std::string> items;
  };
  std::vector<Seen> seen;   // the value and select dialogs as shown
  std::vector<std::string> file_dialog_names;
  std::vector<std::string> data_link_currents;   // what PromptNew started from
  std::vector<std::pair<std::string, std::string>> login_labels;
};

// Sends one datagram from a fresh socket to 127.0.0.1; returns its port.
int SendDatagram(int port, const std::vector<uint8_t>& bytes);
using testkit::FreeUdpPort;
// Runs the event loop until `done` holds or `seconds` pass; returns done().
bool WaitUntil(const std::function<bool()>& done, double seconds = 30);

// Log_Data of every Logs row, in Record order.
Datagrams LogsData(const std::string& db_path);
inline size_t LogsCount(const std::string& db_path) { return LogsData(db_path).size(); }
// A datagram that the engine reads: server variables and one record.
std::vector<uint8_t> ValidDatagram(uint32_t packet_number, const std::string& tag = "x");
// ValidDatagram(first) to ValidDatagram(last).
Datagrams Numbered(uint32_t first, uint32_t last);
// Entry n's status; an empty snapshot while it is not known.
tallyhost::EntrySnapshot Entry(int n);

// "<number> <description>" of the Failure that `f` throws; "none" when it throws none.
template <class F>
std::string FailureOf(F f) {
  try {
    f();
  } catch (const tallyhost::Failure& e) {
    return std::to_string(e.Number()) + " " + e.Description();
  }
  return "none";
}

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string ProgramPath() const { return tmp_->path() + "/data/tallyhost"; }
  // Writes the connections file (CR LF lines) into the program folder.
  void WriteConfig(const std::vector<std::string>& lines, const std::string& name = "connections.cfg");
  std::string ConfigText() const { return testkit::ReadFile(ProgramPath() + "/connections.cfg"); }
  // An empty SQLite database file in the temporary folder.
  std::string NewDatabase(const std::string& name);
  static std::string Jet(const std::string& db) {
    return "Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;Data Source=" + db;
  }
  static std::string Line(int port, const std::string& db, const std::string& log, const std::string& logon = "False") {
    return "Port=" + std::to_string(port) + ",Database=" + Jet(db) + ",Logon=" + logon + ",Log=" + log;
  }

  // Runs start-up; false when it ended the program (StartupAbort).
  bool Start(const std::string& command_line = "");
  // Writes entries 1 to `count` (at most 4) on free ports, each with a
  // database and a log path of its own, into the connections file.
  void WriteEntries(int count);
  // Starts with those entries; no message box may be shown.
  void StartEntries(int count);
  // Waits until entry's database holds `count` rows and nothing is pending.
  bool WaitStored(int entry, size_t count);
  // Makes entry's database again, with its tables, after a test removed it.
  void RestoreDatabase(int entry);
  void Select(int n) { state_->ListView1.Select("con" + std::to_string(n)); }
  const tallyhost::ListRow& Row(int n) { return *state_->ListView1.Find("con" + std::to_string(n)); }
  // Column `c` of every row in list order: -1 the key, 0 the port, 1 to 3 the sub-items.
  Texts Column(int c) const;
  tallyhost::MainForm& Form() { return *form_; }
  // "caption|label|text" of the i-th value or select dialog shown.
  std::string Seen(size_t i) const {
    const auto& d = front_.seen.at(i);
    return d.caption + "|" + d.label + "|" + d.text;
  }
  std::vector<testkit::ScriptedMessageBoxes::Shown> Boxes() const { return boxes_->shown(); }
  // The text of the one message box shown so far, which has `title`.
  std::string OnlyBox(const std::string& title) const;

  std::unique_ptr<testkit::TempDir> tmp_;
  std::shared_ptr<testkit::ScriptedMessageBoxes> boxes_;
  std::shared_ptr<msgbox::MessageBoxService> previous_boxes_;
  std::unique_ptr<tallyhost::MainState> state_;
  ScriptedFront front_;
  std::unique_ptr<tallyhost::MainForm> form_;
  int ports[5] = {};
  std::string dbs[5], logs[5];
};

inline const char kConnectTitle[] = "Error: Can not connect to database.";

}  // namespace listenertest
