#include "main_module.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "ado.h"
#include "paths.h"
#include "connections_file.h"
#include "login.h"
#include "options.h"
#include "msgbox.h"
#include "prog_path_module.h"
#include "entry_status.h"
#include "schema.h"
#include "sender_gate.h"
#include "textfile.h"

namespace tallyhost {

const char kAppKey[] = "Tallyhost";
const char kAboutLine[] = "Tallyhost: Fragledger Relaymod UDP listener";
const char kCrLf[] = "\r\n";
const char kCanNotConnectTitle[] = "Error: Can not connect to database.";

std::string JoinArguments(int argc, char** argv) {
  std::string s;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) s += ' ';
    s += argv[i];
  }
  return s;
}

namespace {
// The value of an option in the lowered command line: after the "=" up to
// the next blank; false when the option is absent or its value is empty.
bool OptionValue(const std::string& lowered, const std::string& name, std::string* value) {
  size_t p = lowered.find(name);
  if (p == std::string::npos) return false;
  size_t start = p + name.size();
  size_t end = lowered.find(' ', start);
  *value = lowered.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return !value->empty();
}
}  // namespace

CommandLine ParseCommandLine(const std::string& command_line) {
  CommandLine c;
  if (!command_line.empty()) {
    std::string lowered = LowerAscii(command_line);
    std::string v;
    if (OptionValue(lowered, "maxcon=", &v)) c.capacity = RoundToInt32(NumberPrefix(v));
    if (OptionValue(lowered, "logout=", &v)) c.rawlog = RoundToInt16(NumberPrefix(v));
    if (OptionValue(lowered, "cfgfile=", &v)) c.connections_file = v;
    if (OptionValue(lowered, "headless=", &v)) c.headless = RoundToInt32(NumberPrefix(v)) != 0;
    if (OptionValue(lowered, "quiet=", &v)) c.quiet = RoundToInt32(NumberPrefix(v)) != 0;
    if (OptionValue(lowered, "metrics=", &v)) c.metrics = v;
    if (OptionValue(lowered, "spoolsync=", &v)) ParseSpoolSync(v, &c.spool);
    if (OptionValue(lowered, "spoolmax=", &v)) ParseSpoolMax(v, &c.spool);
  }
  if (c.capacity < 1) c.capacity = 1;
  if (c.connections_file.empty()) c.connections_file = "connections.cfg";
  return c;
}

MainState::MainState() : DefaultProgramPath(paths::DefaultProgramFolder()) {}

const std::string& MainState::Slot(int n) const {
  static const std::string kEmpty;
  auto it = slots_.find(n);
  return it == slots_.end() ? kEmpty : it->second;
}

void MainState::SetSlot(int n, const std::string& value) {
  if (value.empty()) {
    slots_.erase(n);
    return;
  }
  if (n < 0 || n > Capacity) throw Failure(kErrSubscript, "Subscript out of range");
  slots_[n] = value;
}

std::string DatabaseFailureText(const Failure& f, const std::string& database_text,
                                const std::string& port_text) {
  return "Error # " + std::to_string(f.Number()) + ":" + f.Description() +
         " occured for connection to database " + database_text + " on port " + port_text +
         kCrLf + "Port will be disabled until database connection is restored." + kCrLf +
         "Best solution is to delete the connection to port " + port_text +
         " and create a new connection for that port.";
}

std::string SocketFailureText(const Failure& f, const std::string& port_text) {
  return "Error # " + std::to_string(f.Number()) + ":" + f.Description() + " occured on port " +
         port_text + kCrLf + "Port will be disabled until problem is corrected." + kCrLf +
         "Best solution is to delete the connection to port " + port_text +
         " and create a new connection for that port.";
}

std::string GeneralFailureText(const std::string& last_log_path) {
  return "Can't locate program path " + last_log_path + " for ActiveX dll." + kCrLf +
         "Uninstall then re-install this program...it that doesn't work then email " +
         kSupportAddress + kCrLf + "Program is terminating.";
}

// The port an entry's row shows, for the status; 0 when it holds none.
int32_t ShownPort(const ListRow& row) {
  try {
    return RoundToInt32(NumberPrefix(row.text));
  } catch (...) {
    return 0;
  }
}

// Headless, the designed box about a database that failed is followed by
// one line when its file is missing: which file, and how to make it.
void SayWhenTheFileIsMissing(int entry, const std::string& connection_string) {
  if (LowerAscii(ado::ConnectionSetting(connection_string, "Provider")) == "postgresql") return;
  const std::string file = ado::ConnectionSetting(connection_string, "Data Source");
  if (file.empty() || textfile::FileExists(file)) return;
  std::string quoted = "'";
  for (char c : file) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  std::fprintf(stderr,
               "Tallyhost: entry %d: the database file %s does not exist; make it with  touch %s  "
               "(an empty file: the listener makes its tables) and start again.\n",
               entry, file.c_str(), quoted.c_str());
  std::fflush(stderr);
}

void OpenEntry(MainState& state, const ListRow& row) {
  int n = ConnectionList::EntryNumber(row.key);
  try {
    schema::CreateDatabaseTables(state.Slot(n));
  } catch (...) {
    TheEntryStatus().SetListening(n, ShownPort(row), false,
                                  "database failed at start-up: " + CurrentFailure().Description());
    msgbox::MsgBox(DatabaseFailureText(CurrentFailure(), row.sub[0], row.text), msgbox::vbOKOnly,
                   kCanNotConnectTitle);
    if (state.Headless) SayWhenTheFileIsMissing(n, state.Slot(n));
    return;
  }
  try {
    int32_t port = RoundToInt32(NumberPrefix(row.text));
    SocketResult r = state.udpPeerB->Load(n);
    if (r.ok() && port != 0) r = state.udpPeerB->Bind(n, port);
    if (!r.ok()) throw Failure(r.number, r.description);
  } catch (...) {
    TheEntryStatus().SetListening(n, ShownPort(row), false, "port " + row.text + ": " + CurrentFailure().Description());
    msgbox::MsgBox(SocketFailureText(CurrentFailure(), row.text), msgbox::vbOKOnly,
                   kCanNotConnectTitle);
  }
}

namespace {

class Startup {
 public:
  Startup(MainState& s, FormView& v, Dialogs& d) : s_(s), view_(v), dialogs_(d) {}

  void Run(const std::string& command_line) {
    Step([&] {
      s_.ProgramPath = LocateProgramFolder(s_.ProgID, s_.DllFileName, s_.DefaultProgramPath);
    });
    Step([&] {
      CommandLine c = ParseCommandLine(command_line);
      s_.Capacity = c.capacity;
      s_.RawLog = c.rawlog;
      s_.ConnectionsFileName = c.connections_file;
      s_.SpoolSettings = c.spool;
    });
    Geometry("WindowTop", true, 3, &FormView::SetTop);
    Geometry("WindowLeft", false, 8, &FormView::SetLeft);
    Geometry("WindowHeight", true, 6, &FormView::SetHeight);
    Geometry("WindowWidth", false, 2, &FormView::SetWidth);
    Step([&] { view_.LayOut(); });
    Step([&] {
      if (!textfile::DirectoryExists(FolderOnDisk(s_.ProgramPath)) &&
          !textfile::CreateDirectories(FolderOnDisk(s_.ProgramPath)))
        throw Failure(76, "Path not found: " + s_.ProgramPath);
    });
    if (!textfile::FileExists(s_.ConnectionsPath())) WriteDefaultEntry();
    else LoadEntries();
    Step([&] { logon_width_ = view_.MeasureText("Logon"); });
    ColumnWidth(1, 1.3 * port_width_);
    ColumnWidth(2, 1.05 * database_width_);
    ColumnWidth(3, 1.5 * logon_width_);
    ColumnWidth(4, 1.05 * log_width_);
    ConfigureSenderGate(s_.ConnectionsPath());   // before any socket: sender_gate.h
    std::vector<ListRow> rows = s_.ListView1.rows();
    for (const ListRow& row : rows) OpenEntry(s_, row);
    Step([&] {
      view_.LayOut();
      view_.SetStatus(kAboutLine);
    });
    view_.Show();
  }

 private:
  // Runs one step; on failure shows the general failure message and tries
  // the step once more.
  void Step(const std::function<void()>& f) {
    try {
      f();
      return;
    } catch (...) {
      Failure first = CurrentFailure();
      std::fprintf(stderr, "Tallyhost: start-up failed: Error # %d: %s\n", first.Number(),
                   first.Description().c_str());
    }
    msgbox::MsgBox(GeneralFailureText(s_.LastLogPath), msgbox::vbOKOnly,
                   "Error: Can not locate Application Path");
    try {
      f();
    } catch (...) {
      throw StartupAbort(CurrentFailure());
    }
  }

  // A window setting; when missing, its default is the screen size in
  // twips, rounded, divided with the remainder dropped, and stored. Without
  // a screen a missing value stays missing.
  void Geometry(const std::string& name, bool height, int divisor,
                void (FormView::*set)(float)) {
    Step([&] {
      std::string text = ReadSetting(kAppKey, name);
      if (text == kMissingSetting) {
        if (!view_.HasScreen()) return;
        int32_t screen = RoundToInt32(height ? view_.ScreenHeight() : view_.ScreenWidth());
        text = std::to_string(screen / divisor);
        WriteSetting(kAppKey, name, text);
      }
      (view_.*set)(ParseSingle(text));
    });
  }

  void ColumnWidth(int column, double measured) {
    Step([&] {
      std::string name = "Column(" + std::to_string(column) + ")Width";
      std::string text = ReadSetting(kAppKey, name);
      if (text == kMissingSetting) {
        if (!view_.HasScreen()) return;
        text = FormatNumber(measured);
        WriteSetting(kAppKey, name, text);
      }
      view_.SetColumnWidth(column, ParseSingle(text));
    });
  }

  void Measure(const std::string& port, const std::string& display, const std::string& log) {
    port_width_ = std::max(port_width_, view_.MeasureText(port));
    database_width_ = std::max(database_width_, view_.MeasureText(display));
    log_width_ = std::max(log_width_, view_.MeasureText(log));
  }

  void WriteDefaultEntry() {
    std::string cs = DefaultConnectionString(s_.ProgramPath);
    std::string log = DefaultLogPath(s_.ProgramPath);
    s_.LastLogPath = log;
    Step([&] { s_.SetSlot(1, cs); });
    Step([&] {
      if (!s_.ListView1.Find("con1"))
        s_.ListView1.Add({"con1", "28000", {DisplayForm(cs), "False", log}});
    });
    Step([&] {
      if (!textfile::WriteLines(s_.ConnectionsPath(), {FormatEntryLine("28000", cs, "False", log)}))
        throw Failure(75, "Path/File access error: " + s_.ConnectionsPath());
    });
    // A first run gets an empty default database (an empty file is an empty
    // SQLite database); no other database file is ever created.
    Step([&] {
      std::string db = s_.ProgramPath + "/test.mdb";
      if (!textfile::FileExists(db) && !textfile::WriteLines(db, {}))
        throw Failure(75, "Path/File access error: " + db);
    });
    Step([&] { Measure("28000", DisplayForm(cs), log); });
  }

  void LoadEntries() {
    std::vector<std::string> lines;
    Step([&] {
      auto read = textfile::ReadLines(s_.ConnectionsPath());
      if (!read) throw Failure(75, "Path/File access error: " + s_.ConnectionsPath());
      lines = std::move(*read);
    });
    int count = 0;
    for (const std::string& line : lines) {
      if (line == kHeaderLine) continue;
      EntryLine e;
      Step([&] { e = ParseEntryLine(line, s_.ProgramPath); });
      s_.LastLogPath = e.log_path;
      std::string port_text = std::to_string(e.port);
      if (e.logon == "True") {
        s_.CurrentConnectionString = e.connection_string;
        s_.LogonAccepted = false;
        LoginTest tester(e.connection_string);
        s_.LogonAccepted = dialogs_.ShowLogin("Port: " + port_text,
                                              "Database: " + DatabasePath(e.connection_string),
                                              tester);
        if (!s_.LogonAccepted) {
          s_.HeldLines.push_back(line);
          continue;
        }
      }
      Step([&] { s_.SetSlot(count + 1, e.connection_string); });
      ++count;
      std::string key = "con" + std::to_string(count);
      std::string display = DisplayForm(e.connection_string);
      Step([&] {
        if (!s_.ListView1.Find(key))
          s_.ListView1.Add({key, port_text, {display, e.logon, e.log_path}});
      });
      Step([&] { Measure(port_text, display, e.log_path); });
    }
  }

  MainState& s_;
  FormView& view_;
  Dialogs& dialogs_;
  double port_width_ = 0, database_width_ = 0, log_width_ = 0, logon_width_ = 0;
};

}  // namespace

void Main(MainState& state, const std::string& command_line, FormView& view, Dialogs& dialogs) {
  if (!state.udpPeerB) state.udpPeerB = std::make_unique<UdpPeerArray>();
  Startup(state, view, dialogs).Run(command_line);
}

}  // namespace tallyhost
