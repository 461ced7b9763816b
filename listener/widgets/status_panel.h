// StatusPanel: the entries' status in the main window, beside the four
// designed list columns: a status bar with one summary line (entries
// listening, datagrams received, stored, failed, waiting and refused) and a
// "Problems" button with the count of unread problems; the button (or a
// double click on the summary) opens the details: every entry's status,
// its game servers and the recent problems, which are then marked read.
// While a row is selected, the summary starts with its entry's status.
//
// User-interface thread only.
#pragma once

#include <QLabel>
#include <QObject>
#include <QPushButton>
#include <QTimer>

#include "main_form_window.h"

namespace tallyhost {

class StatusPanel : public QObject {
 public:
  StatusPanel(MainFormWindow& window, MainState& state);
  // Refreshes the status and the status bar (also every second).
  void Update();
  // Shows the details dialog (modal) and marks the problems read.
  void ShowDetails();

  QLabel* summary;
  QPushButton* problems;

 private:
  MainFormWindow& window_;
  MainState& s_;
  QTimer timer_;
};

// The summary line of the status bar: all entries, and one entry.
std::string StatusSummary();
std::string EntrySummary(int entry);

}  // namespace tallyhost
