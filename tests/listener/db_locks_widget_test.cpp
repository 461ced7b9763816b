// The listener's real file dialogs listing the folder that holds a database
// in use, type sniffing and a plain open and close of its files, must not
// cost the process its locks on that database: an outside sqlite3 shell that
// reads and writes afterwards must find every row.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMimeDatabase>
#include <QTimer>

#include "ado.h"
#include "data_link_dialog.h"
#include "dialogs.h"
#include "test_env.h"

namespace {

// Cancels the next file dialog once its model has listed at least `rows`
// entries of `folder` and the view has asked for their icons, types and
// sizes (gives up after a few thousand turns of the event loop).
void CancelFileDialogAfterListing(const QString& folder, int rows, bool* listed, int turns = 0) {
  QTimer::singleShot(turns ? 5 : 0, [folder, rows, listed, turns] {
    auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!d) return CancelFileDialogAfterListing(folder, rows, listed, turns + 1);
    auto* model = d->findChild<QFileSystemModel*>();
    const QModelIndex root = model ? model->index(folder) : QModelIndex();
    if (!model || model->rowCount(root) < rows) {
      if (turns > 2000) return d->reject();
      if (model) model->fetchMore(root);
      return CancelFileDialogAfterListing(folder, rows, listed, turns + 1);
    }
    for (int r = 0; r < model->rowCount(root); ++r)
      for (int c = 0; c < model->columnCount(root); ++c) {
        const QModelIndex i = model->index(r, c, root);
        model->data(i, Qt::DecorationRole);
        model->data(i, Qt::DisplayRole);
      }
    *listed = true;
    QTimer::singleShot(300, d, &QDialog::reject);
  });
}

TEST(DatabaseLocks, FileDialogOnTheDatabaseFolderKeepsTheLocks) {
  if (!testkit::HaveSqliteShell()) GTEST_SKIP() << "no sqlite3 shell";
  testkit::TempDir dir;
  const std::string path = dir.File("stats.mdb");
  testkit::Touch(path);
  ado::Connection conn;
  conn.Open("Provider=Microsoft.Jet.OLEDB.3.51;Data Source=" + path);
  conn.Execute("Create Table T (X INTEGER)");
  auto insert = [&](int from, int count) {
    for (int i = from; i < from + count; ++i) conn.Execute("Insert into T values ( " + std::to_string(i) + " )");
  };
  insert(1, 10);

  testkit::Touch(dir.File("Process.log"));
  const QString folder = QString::fromStdString(dir.path());
  QWidget owner;
  tallyhost::WidgetDialogs dialogs(&owner);
  bool listed = false;   // Tools > Log, cancelled
  CancelFileDialogAfterListing(folder, 1, &listed);
  EXPECT_FALSE(dialogs.ShowFileDialog("Log Files (*.Log)|*.log|All Files|*.*", dir.File("Process.log")));
  EXPECT_TRUE(listed);
  listed = false;        // the data-link dialog's Browse, cancelled
  tallyhost::DataLinkDialog link(&owner);
  link.file->setText(QString::fromStdString(path));
  CancelFileDialogAfterListing(folder, 1, &listed);
  link.browse->click();
  EXPECT_TRUE(listed);
  listed = false;        // All Files: the database, its -wal and -shm files listed
  QFileDialog all(&owner, "Database file", folder, "All Files (*)");
  all.setOption(QFileDialog::DontUseNativeDialog, true);
  CancelFileDialogAfterListing(folder, 4, &listed);
  all.exec();
  EXPECT_TRUE(listed);
  // Type sniffing of every file there (reads the unnamed -wal and -shm
  // files), and a plain open and close of the database file.
  QMimeDatabase types;
  for (const char* suffix : {"", "-wal", "-shm"}) types.mimeTypeForFile(QString::fromStdString(path + suffix));
  {
    QFile plain(QString::fromStdString(path));
    ASSERT_TRUE(plain.open(QIODevice::ReadOnly));
  }
  EXPECT_EQ(testkit::OutsideSqlite(path, "INSERT INTO T VALUES (100);\nSELECT count(*) FROM T;"), "11\n");
  insert(11, 10);
  EXPECT_EQ(testkit::OutsideSqlite(path, "SELECT count(*) FROM T;\nPRAGMA integrity_check;"), "21\nok\n");
  conn.Close();
  EXPECT_EQ(testkit::OutsideSqlite(path, "SELECT count(*) FROM T;\nPRAGMA integrity_check;"), "21\nok\n");
}

}  // namespace
