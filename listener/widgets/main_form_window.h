// MainFormWindow: the windowed front of MainForm. It owns the widgets
// (ListView1 over the list rows, Label1, the File and Tools menus) and
// forwards events to the core MainForm: menu commands, header clicks,
// the right-click popup of the Tools menu, resizes (layout: Label1 in the
// top quarter of the client area, ListView1 below), and closing (the closing
// steps; "&Exit" skips them).
//
// User-interface thread only. Does not own the state or the core.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QTreeView>
#include <functional>

#include "front.h"
#include "main_module.h"

namespace tallyhost {

class MainForm;

class MainFormWindow : public QMainWindow, public FormView {
  Q_OBJECT

 public:
  explicit MainFormWindow(MainState& state);
  void SetCore(MainForm* core);
  // What "&Exit" does after marking the window as ending (by default: leave
  // the event loop, so that the program ends).
  void SetExitHandler(std::function<void()> handler) { exit_handler_ = std::move(handler); }

  // FormView
  bool HasScreen() const override { return true; }
  double ScreenWidth() const override;
  double ScreenHeight() const override;
  void SetTop(float twips) override;
  void SetLeft(float twips) override;
  void SetHeight(float twips) override;
  void SetWidth(float twips) override;
  float Top() const override;
  float Left() const override;
  float Height() const override;
  float Width() const override;
  double MeasureText(const std::string& text) override;
  void SetColumnWidth(int column, float twips) override;
  float ColumnWidth(int column) const override;
  void LayOut() override;
  void SetStatus(const std::string& text) override;
  void SetToolsDatabaseCaption(const std::string& caption) override;
  void Show() override { show(); }

  QTreeView* ListView1;
  QLabel* Label1;
  QMenu* FileMenu;
  QMenu* Tools;
  QAction *FileRaw, *FileSave, *FileExit;
  QAction *ToolsPort, *ToolsDatabase, *ToolsLogon, *ToolsLog, *ToolsAdd, *ToolsDelete;

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void SyncSelection();
  void Reselect();

  MainState& s_;
  MainForm* core_ = nullptr;
  QWidget* client_;
  bool exit_now_ = false;
  std::function<void()> exit_handler_;
};

}  // namespace tallyhost
