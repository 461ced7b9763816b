// The headless front: the listener without a window. Status texts go to
// standard output (one flush per text); the logon dialog becomes a prompt on
// the terminal when standard input is one, and is otherwise a cancelled
// logon with a message on standard error. The other dialogs cannot be
// reached without menus and answer as cancelled.
//
// SignalWatcher turns SIGINT and SIGTERM (Terminate), SIGHUP (Save) and
// SIGUSR1 (Report) into Qt signals on the thread that created it (self-pipe), so that the closing
// steps and the saving run on the user-interface thread.
//
// Quiet: SetStatus writes nothing; otherwise it writes the receipt line of
// each status once (a status of several lines repeats the receipt and adds a
// failure that the receipt writes to standard error itself).
//
// User-interface thread only.
#pragma once

#include <functional>
#include <thread>
#include <QObject>
#include <array>

#include "front.h"

class QSocketNotifier;

namespace tallyhost {

class HeadlessFront : public FormView, public Dialogs {
 public:
  bool HasScreen() const override { return false; }
  double ScreenWidth() const override { return 0; }
  double ScreenHeight() const override { return 0; }
  void SetTop(float v) override { geometry_[0] = v; }
  void SetLeft(float v) override { geometry_[1] = v; }
  void SetHeight(float v) override { geometry_[2] = v; }
  void SetWidth(float v) override { geometry_[3] = v; }
  float Top() const override { return geometry_[0]; }
  float Left() const override { return geometry_[1]; }
  float Height() const override { return geometry_[2]; }
  float Width() const override { return geometry_[3]; }
  double MeasureText(const std::string&) override { return 0; }
  void SetColumnWidth(int column, float twips) override;
  float ColumnWidth(int column) const override;
  void LayOut() override {}
  void SetStatus(const std::string& text) override;
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  void SetToolsDatabaseCaption(const std::string&) override {}
  void Show() override {}

  bool ShowLogin(const std::string& label1, const std::string& label2,
                 LogonTester& tester) override;
  bool ShowSingleValue(const std::string&, const std::string&, std::string*, Placement) override {
    return false;
  }
  bool ShowSingleSelect(const std::string&, const std::string&, const std::vector<std::string>&,
                        std::string*, Placement) override {
    return false;
  }
  std::optional<std::string> ShowFileDialog(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> PromptNew(const std::string&) override { return std::nullopt; }

 private:
  std::array<float, 4> geometry_{};
  std::array<float, 4> columns_{};
  bool quiet_ = false;
};

class SignalWatcher : public QObject {
  Q_OBJECT

 public:
  explicit SignalWatcher(QObject* parent = nullptr);
  ~SignalWatcher() override;
  // From now on SIGUSR1 runs `report` on a thread of the watcher's own, so
  // that the answer does not wait for a pass that holds the main thread
  // (one waiting at a lock, say); `report` must be thread-safe. Without it
  // SIGUSR1 emits Report on the main thread.
  void SetReportHandler(std::function<void()> report);

 signals:
  void Terminate(int signal_number);
  void Save(int signal_number);
  void Report(int signal_number);

 private:
  void OnReadable();
  QSocketNotifier* notifier_ = nullptr;
  std::function<void()> report_;
  std::thread report_thread_;
};

}  // namespace tallyhost
