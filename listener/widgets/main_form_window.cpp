#include "main_form_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <cmath>

#include "dialogs.h"
#include "main_form.h"

namespace tallyhost {

namespace {
QString Narrow(const std::string& s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); }
}  // namespace

MainFormWindow::MainFormWindow(MainState& state) : s_(state) {
  setWindowTitle("Fragledger Relaymod UDP");
  client_ = new QWidget(this);
  setCentralWidget(client_);
  client_->resize(Px(5325), Px(3195));
  Label1 = new QLabel(client_);
  Label1->setWordWrap(true);
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label1->setVisible(false);
  ListView1 = new QTreeView(client_);
  ListView1->setRootIsDecorated(false);
  ListView1->setItemsExpandable(false);
  ListView1->setUniformRowHeights(true);
  ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView1->setModel(&s_.ListView1);
  ListView1->header()->setSectionsClickable(true);
  ListView1->header()->setStretchLastSection(false);
  ListView1->viewport()->installEventFilter(this);
  ListView1->setVisible(false);
  connect(ListView1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this] { SyncSelection(); });
  connect(ListView1->header(), &QHeaderView::sectionClicked, this, [this](int section) {
    if (core_) core_->ColumnClick(section);
  });
  connect(&s_.ListView1, &ConnectionList::Sorted, this, [this] { Reselect(); });

  FileMenu = menuBar()->addMenu("&File");
  FileRaw = FileMenu->addAction("Raw Logging");
  FileRaw->setObjectName("FileRaw");
  FileRaw->setCheckable(true);
  FileSave = FileMenu->addAction("&Save Connnections");
  FileSave->setObjectName("FileSave");
  FileMenu->addSeparator()->setObjectName("FileSep1");
  FileExit = FileMenu->addAction("&Exit");
  FileExit->setObjectName("FileExit");
  Tools = menuBar()->addMenu("&Tools");
  Tools->setObjectName("Tools");
  ToolsPort = Tools->addAction("&Port");
  ToolsDatabase = Tools->addAction("&Database");
  ToolsLogon = Tools->addAction("&Logon");
  ToolsLog = Tools->addAction("&Log");
  Tools->addSeparator()->setObjectName("ToolsSep1");
  ToolsAdd = Tools->addAction("&Add");
  ToolsDelete = Tools->addAction("&Delete");
  ToolsPort->setObjectName("ToolsPort");
  ToolsDatabase->setObjectName("ToolsDatabase");
  ToolsLogon->setObjectName("ToolsLogon");
  ToolsLog->setObjectName("ToolsLog");
  ToolsAdd->setObjectName("ToolsAdd");
  ToolsDelete->setObjectName("ToolsDelete");
  // The check mark follows the raw-logging flag.
  connect(FileMenu, &QMenu::aboutToShow, this, [this] { FileRaw->setChecked(s_.RawLog == 1); });
}

void MainFormWindow::SetCore(MainForm* core) {
  core_ = core;
  connect(FileRaw, &QAction::triggered, this, [this] {
    core_->FileRaw();
    FileRaw->setChecked(s_.RawLog == 1);
  });
  connect(FileSave, &QAction::triggered, this, [this] { core_->FileSave(); });
  connect(FileExit, &QAction::triggered, this, [this] {
    exit_now_ = true;
    if (exit_handler_) exit_handler_();
    else QCoreApplication::exit(0);
  });
  connect(ToolsPort, &QAction::triggered, this, [this] { core_->ToolsPort(); });
  connect(ToolsDatabase, &QAction::triggered, this, [this] { core_->ToolsDatabase(); });
  connect(ToolsLogon, &QAction::triggered, this, [this] { core_->ToolsLogon(); });
  connect(ToolsLog, &QAction::triggered, this, [this] { core_->ToolsLog(); });
  connect(ToolsAdd, &QAction::triggered, this, [this] { core_->ToolsAdd(); });
  connect(ToolsDelete, &QAction::triggered, this, [this] { core_->ToolsDelete(); });
}

double MainFormWindow::ScreenWidth() const {
  QScreen* sc = screen() ? screen() : QGuiApplication::primaryScreen();
  return sc ? sc->geometry().width() * 15.0 : 0;
}

double MainFormWindow::ScreenHeight() const {
  QScreen* sc = screen() ? screen() : QGuiApplication::primaryScreen();
  return sc ? sc->geometry().height() * 15.0 : 0;
}

void MainFormWindow::SetTop(float twips) { move(pos().x(), Px(twips)); }
void MainFormWindow::SetLeft(float twips) { move(Px(twips), pos().y()); }
void MainFormWindow::SetHeight(float twips) { resize(width(), std::max(1, Px(twips))); }
void MainFormWindow::SetWidth(float twips) { resize(std::max(1, Px(twips)), height()); }
float MainFormWindow::Top() const { return static_cast<float>(pos().y() * 15); }
float MainFormWindow::Left() const { return static_cast<float>(pos().x() * 15); }
float MainFormWindow::Height() const { return static_cast<float>(height() * 15); }
float MainFormWindow::Width() const { return static_cast<float>(width() * 15); }

double MainFormWindow::MeasureText(const std::string& text) {
  return QFontMetrics(Label1->font()).horizontalAdvance(Narrow(text)) * 15.0;
}

void MainFormWindow::SetColumnWidth(int column, float twips) {
  ListView1->header()->resizeSection(column - 1, std::max(0, Px(twips)));
}

float MainFormWindow::ColumnWidth(int column) const {
  return static_cast<float>(ListView1->header()->sectionSize(column - 1) * 15);
}

void MainFormWindow::LayOut() {
  // Q is a quarter of the client height (in twips, remainder dropped).
  int client_h = client_->height(), client_w = client_->width();
  int q_twips = static_cast<int>(std::lround(client_h * 15.0)) / 4;
  int q = Px(q_twips);
  Label1->setGeometry(0, 0, client_w, q);
  ListView1->setGeometry(0, q, client_w, client_h - q);
  ListView1->setVisible(true);
  Label1->setVisible(true);
}

void MainFormWindow::SetStatus(const std::string& text) { Label1->setText(Narrow(text)); }

void MainFormWindow::SetToolsDatabaseCaption(const std::string& caption) {
  ToolsDatabase->setText(Narrow(caption));
}

void MainFormWindow::resizeEvent(QResizeEvent* e) {
  QMainWindow::resizeEvent(e);
  LayOut();
}

void MainFormWindow::closeEvent(QCloseEvent* e) {
  if (!exit_now_ && core_) {
    core_->Flush();
    core_->ClosingSteps();
  }
  e->accept();
}

bool MainFormWindow::eventFilter(QObject* watched, QEvent* e) {
  if (watched == ListView1->viewport() && e->type() == QEvent::MouseButtonRelease) {
    auto* me = static_cast<QMouseEvent*>(e);
    if (me->button() == Qt::RightButton) {
      Tools->popup(me->globalPosition().toPoint());
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, e);
}

void MainFormWindow::SyncSelection() {
  QModelIndex i = ListView1->currentIndex();
  if (!i.isValid() || i.row() >= s_.ListView1.Count()) {
    s_.ListView1.Select("");
    return;
  }
  s_.ListView1.Select(s_.ListView1.rows()[static_cast<size_t>(i.row())].key);
}

void MainFormWindow::Reselect() {
  std::string key = s_.ListView1.SelectedKey();
  int row = s_.ListView1.IndexOf(key);
  if (row < 0) return;
  ListView1->setCurrentIndex(s_.ListView1.index(row, 0));
  s_.ListView1.Select(key);
}

}  // namespace tallyhost
