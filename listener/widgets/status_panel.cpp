#include "status_panel.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QVBoxLayout>

#include "entry_status.h"
#include "status_report.h"

namespace tallyhost {

std::string StatusSummary() {
  uint64_t received = 0, stored = 0, failed = 0, waiting = 0, refused = 0;
  int listening = 0, entries = 0;
  for (const EntrySnapshot& s : TheEntryStatus().Snapshot()) {
    ++entries;
    listening += s.listening ? 1 : 0;
    received += s.received;
    stored += s.stored;
    failed += s.failed;
    waiting += s.waiting;
    refused += s.refused;
  }
  return std::to_string(listening) + " of " + std::to_string(entries) + " listening; received " +
         std::to_string(received) + ", stored " + std::to_string(stored) + ", failed " + std::to_string(failed) +
         ", waiting " + std::to_string(waiting) + ", refused " + std::to_string(refused);
}

std::string EntrySummary(int entry) {
  for (const EntrySnapshot& e : TheEntryStatus().Snapshot()) {
    if (e.entry != entry) continue;
    return "Port " + std::to_string(e.port) + ": " +
           (e.listening ? std::string("listening") : "not listening" + (e.why_not.empty() ? "" : " (" + e.why_not + ")")) +
           ", received " + std::to_string(e.received) + ", stored " + std::to_string(e.stored) + ", failed " +
           std::to_string(e.failed) + ", waiting " + std::to_string(e.waiting) + ", refused " + std::to_string(e.refused);
  }
  return "";
}

StatusPanel::StatusPanel(MainFormWindow& window, MainState& state)
    : QObject(&window), window_(window), s_(state) {
  summary = new QLabel(&window);
  summary->setObjectName("statusSummary");
  problems = new QPushButton(&window);
  problems->setObjectName("statusProblems");
  problems->setFlat(true);
  window.statusBar()->addWidget(summary, 1);
  window.statusBar()->addPermanentWidget(problems);
  connect(problems, &QPushButton::clicked, this, &StatusPanel::ShowDetails);
  connect(&timer_, &QTimer::timeout, this, &StatusPanel::Update);
  timer_.start(1000);
  Update();
}

void StatusPanel::Update() {
  RefreshEntryStatus(s_);
  std::string line = StatusSummary();
  if (const ListRow* row = s_.ListView1.Selected()) line = EntrySummary(ConnectionList::EntryNumber(row->key)) + " | " + line;
  summary->setText(QString::fromStdString(line));
  const size_t unread = TheEntryStatus().Problems().size();
  problems->setText(unread ? QString("Problems (%1)").arg(unread) : QString("Status"));
}

void StatusPanel::ShowDetails() {
  RefreshEntryStatus(s_);
  QDialog d(&window_);
  d.setWindowTitle("Connection Status");
  auto* layout = new QVBoxLayout(&d);
  auto* text = new QPlainTextEdit(&d);
  text->setObjectName("statusDetails");
  text->setReadOnly(true);
  text->setPlainText(QString::fromStdString(TheEntryStatus().Describe()));
  layout->addWidget(text);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &d);
  connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
  layout->addWidget(buttons);
  d.resize(640, 360);
  d.exec();
  TheEntryStatus().MarkProblemsRead();
  Update();
}

}  // namespace tallyhost
