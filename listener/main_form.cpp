#include "main_form.h"

#include <cstdio>

#include "connections_file.h"
#include "msgbox.h"
#include "prog_path_module.h"

namespace tallyhost {

MainForm::MainForm(MainState& state, FormView& view, Dialogs& dialogs, QObject* parent)
    : QObject(parent), s_(state), view_(view), dialogs_(dialogs) {}

void MainForm::FileRaw() { s_.RawLog = s_.RawLog == 1 ? 0 : 1; }

void MainForm::SaveOrReport() {
  std::vector<std::string> lines;
  for (const ListRow& r : s_.ListView1.rows())
    lines.push_back(FormatEntryLine(r.text, r.sub[0], r.sub[1], r.sub[2]));
  lines.insert(lines.end(), s_.HeldLines.begin(), s_.HeldLines.end());
  try {
    SaveConnectionsFile(s_.ProgramPath, s_.ConnectionsPath(), lines);
  } catch (...) {
    Failure f = CurrentFailure();
    std::fprintf(stderr, "Tallyhost: connections not saved: Error # %d: %s\n", f.Number(),
                 f.Description().c_str());
    msgbox::MsgBox("Error # " + std::to_string(f.Number()) + ":" + f.Description() +
                       " occured while saving the connections to " + s_.ConnectionsPath() +
                       kCrLf + "The connections have not been saved.",
                   msgbox::vbOKOnly, "Error: Can not save connections.");
  }
}

void MainForm::FileSave() { SaveOrReport(); }

void MainForm::ClosingSteps() {
  SaveOrReport();
  // Without a window the stored geometry and column widths stay as they were.
  if (!view_.HasScreen()) return;
  auto store = [](const char* name, double value) {
    WriteSetting(kAppKey, name, FormatNumber(value));
  };
  double screen_h = view_.ScreenHeight(), screen_w = view_.ScreenWidth();
  double top = view_.Top();
  store("WindowTop", top <= screen_h ? top : RoundToInt32(screen_h) / 8);
  double left = view_.Left();
  store("WindowLeft", left <= screen_w ? left : RoundToInt32(screen_w) / 8);
  store("WindowHeight", view_.Height());
  store("WindowWidth", view_.Width());
  for (int i = 1; i <= 4; ++i)
    store(("Column(" + std::to_string(i) + ")Width").c_str(), view_.ColumnWidth(i));
}

void MainForm::ColumnClick(int column) { s_.ListView1.SortByColumn(column); }

void MainForm::SetStatus(const std::string& text) {
  status_ = text;
  view_.SetStatus(text);
}

Dialogs::Placement MainForm::DialogPlace() const {
  return {view_.Left() + 512, view_.Top() + 512};
}

}  // namespace tallyhost
