// MainForm's connection commands (the Tools menu).
#include <cstdio>
#include <set>

#include "connections_file.h"
#include "main_form.h"
#include "msgbox.h"
#include "schema.h"

namespace tallyhost {

namespace {
const char kPortInUseTitle[] = "Error: Port Already In Use";
const char kLogFilter[] = "Log Files (*.Log)|*.log|All Files|*.*";

bool PortInUse(UdpPeerArray& peers, int32_t port) {
  for (const auto& [n, local] : peers.LoadedPorts())
    if (local == port) return true;
  return false;
}

void ShowSocketFailure(const Failure& f, const std::string& port_text) {
  msgbox::MsgBox(SocketFailureText(f, port_text), msgbox::vbOKOnly, kCanNotConnectTitle);
}
}  // namespace

void MainForm::ToolsPort() {
  ListRow* row = s_.ListView1.Selected();
  if (!row) return;
  const std::string key = row->key;
  const int n = ConnectionList::EntryNumber(key);
  std::string text = FormatNumber(NumberPrefix(row->text));
  if (!dialogs_.ShowSingleValue("Modify Port Number", "Port Number", &text, DialogPlace()))
    return;   // closed without OK: nothing to change
  s_.DialogResult = text;
  if (s_.DialogResult.empty()) return;
  int32_t port;
  try {
    port = RoundToInt32(NumberPrefix(s_.DialogResult));
  } catch (...) {
    ShowSocketFailure(CurrentFailure(), s_.DialogResult);
    return;
  }
  if (PortInUse(*s_.udpPeerB, port)) {
    msgbox::MsgBox("Port " + std::to_string(port) + " is already in use." + kCrLf,
                   msgbox::vbOKOnly, kPortInUseTitle);
    return;
  }
  if (port == 0) return;
  SocketResult r = s_.udpPeerB->IsLoaded(n) ? s_.udpPeerB->Rebind(n, port)
                                            : SocketResult{340, "Control array element '" +
                                                                    std::to_string(n) +
                                                                    "' doesn't exist"};
  if (!r.ok()) {
    ShowSocketFailure(Failure(r.number, r.description), std::to_string(port));
    return;
  }
  s_.ListView1.SetText(key, std::to_string(port));
}

void MainForm::ToolsDatabase() {
  if (!s_.ListView1.Selected()) return;
  const std::string key = s_.ListView1.Selected()->key;
  const int n = ConnectionList::EntryNumber(key);
  std::optional<std::string> cs = dialogs_.PromptNew(s_.Slot(n));
  if (!cs) return;
  const ListRow* row = s_.ListView1.Find(key);
  if (!row) return;
  try {
    s_.SetSlot(n, *cs);
    schema::CreateDatabaseTables(s_.Slot(n));
  } catch (...) {
    msgbox::MsgBox(DatabaseFailureText(CurrentFailure(), row->sub[0], row->text),
                   msgbox::vbOKOnly, kCanNotConnectTitle);
    return;
  }
  s_.ListView1.SetSubItem(key, 1, ReducedDatabaseText(*cs));
  // Re-open the port; an element whose schema step failed at start-up was
  // never loaded, and is loaded now, so that the restored database receives.
  try {
    int32_t port = RoundToInt32(NumberPrefix(row->text));
    SocketResult r;
    if (!s_.udpPeerB->IsLoaded(n)) r = s_.udpPeerB->Load(n);
    if (r.ok() && s_.udpPeerB->State(n) != 0) s_.udpPeerB->Close(n);
    if (r.ok() && port != 0) r = s_.udpPeerB->Bind(n, port);
    if (!r.ok()) throw Failure(r.number, r.description);
  } catch (...) {
    ShowSocketFailure(CurrentFailure(), row->text);
  }
}

void MainForm::ToolsLogon() {
  ListRow* row = s_.ListView1.Selected();
  if (!row) return;
  const std::string key = row->key;
  std::string text = row->sub[1];
  if (!dialogs_.ShowSingleSelect("Modify Logon Check", "Require Logon", {"True", "False"}, &text,
                                 DialogPlace()))
    return;
  s_.DialogResult = text;
  if (!s_.DialogResult.empty()) s_.ListView1.SetSubItem(key, 2, s_.DialogResult);
}

void MainForm::ToolsLog() {
  ListRow* row = s_.ListView1.Selected();
  if (!row) return;
  const std::string key = row->key;
  if (s_.CommonDialogFileName.empty()) s_.CommonDialogFileName = row->sub[2];
  std::optional<std::string> chosen = dialogs_.ShowFileDialog(kLogFilter, s_.CommonDialogFileName);
  if (!chosen) return;
  s_.CommonDialogFileName = *chosen;
  s_.ListView1.SetSubItem(key, 3, *chosen);
}

void MainForm::ToolsAdd() {
  const std::string path = s_.ConnectionsPath();
  try {
    RefreshBackup(path);
  } catch (...) {
    Failure f = CurrentFailure();
    std::fprintf(stderr, "Tallyhost: backup not refreshed: %s\n", f.Description().c_str());
  }
  std::string text;
  if (!dialogs_.ShowSingleValue("Enter Port Number", "Port Number", &text, DialogPlace()))
    return;   // closed without OK: nothing is added
  s_.DialogResult = text;
  int32_t port;
  try {
    port = RoundToInt32(NumberPrefix(s_.DialogResult));
  } catch (...) {
    ShowSocketFailure(CurrentFailure(), s_.DialogResult);
    return;
  }
  const std::string port_text = std::to_string(port);
  if (PortInUse(*s_.udpPeerB, port)) {
    msgbox::MsgBox("Port " + port_text + " is already in use." + kCrLf +
                       "New connection has not been saved.",
                   msgbox::vbOKOnly, kPortInUseTitle);
    return;
  }
  std::set<int> used;
  for (const ListRow& r : s_.ListView1.rows()) used.insert(ConnectionList::EntryNumber(r.key));
  int n = 1;
  while (used.count(n)) ++n;
  const std::string key = "con" + std::to_string(n);
  s_.ListView1.Add({key,
                    port_text,
                    {"Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + s_.DefaultProgramPath +
                         "/test.mdb",
                     "False", s_.ProgramPath + "/Process.log"}});
  SocketResult r = s_.udpPeerB->Load(n);
  if (r.ok()) r = s_.udpPeerB->Bind(n, port);
  if (!r.ok()) {
    ShowSocketFailure(Failure(r.number, r.description), port_text);
    return;
  }
  try {
    std::optional<std::string> cs = dialogs_.PromptNew("");
    if (!cs) return;
    s_.SetSlot(n, *cs);
    schema::CreateDatabaseTables(s_.Slot(n));
    const std::string reduced = ReducedDatabaseText(*cs);
    s_.ListView1.SetSubItem(key, 1, reduced);
    view_.SetToolsDatabaseCaption("&Database " + reduced);
    std::string logon = s_.ListView1.Find(key)->sub[1];
    if (dialogs_.ShowSingleSelect("Enter Logon Check", "Require Logon", {"True", "False"}, &logon,
                                  DialogPlace())) {
      s_.DialogResult = logon;
      s_.ListView1.SetSubItem(key, 2, s_.DialogResult);
    }
    if (s_.CommonDialogFileName.empty()) s_.CommonDialogFileName = s_.ListView1.Find(key)->sub[2];
    std::string file_name = s_.CommonDialogFileName;
    std::optional<std::string> chosen = dialogs_.ShowFileDialog(kLogFilter, file_name);
    if (chosen) {
      s_.CommonDialogFileName = *chosen;
      s_.ListView1.SetSubItem(key, 3, *chosen);
    }
  } catch (...) {
    Failure f = CurrentFailure();
    if (const ListRow* row = s_.ListView1.Find(key))
      msgbox::MsgBox(DatabaseFailureText(f, row->sub[0], row->text), msgbox::vbOKOnly,
                     kCanNotConnectTitle);
    if (s_.udpPeerB->State(n) != 0) s_.udpPeerB->Close(n);
    return;
  }
  const ListRow* row = s_.ListView1.Find(key);
  try {
    AppendConnectionLine(path, FormatEntryLine(port_text, row->sub[0], row->sub[1], row->sub[2]));
  } catch (...) {
    Failure f = CurrentFailure();
    msgbox::MsgBox("Error # " + std::to_string(f.Number()) + ":" + f.Description() +
                       " occured while saving the connections to " + path + kCrLf +
                       "The new connection has not been saved.",
                   msgbox::vbOKOnly, "Error: Can not save connections.");
  }
}

void MainForm::ToolsDelete() {
  ListRow* row = s_.ListView1.Selected();
  if (!row) return;
  const std::string key = row->key;
  const int n = ConnectionList::EntryNumber(key);
  // Datagrams already read are handed over with this entry's settings.
  s_.udpPeerB->Close(n);
  Collect();
  retired_[n] = EntrySettings{s_.Slot(n), row->sub[2], row->text};
  s_.SetSlot(n, "");
  s_.udpPeerB->Unload(n);
  s_.ListView1.Remove(key);
}

}  // namespace tallyhost
