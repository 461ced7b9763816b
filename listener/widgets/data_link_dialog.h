// DataLinkDialog: the user's choice of a database, returned as a connection
// string. The provider (Microsoft.Jet.OLEDB.3.51, SQLite or PostgreSQL) picks
// the settings: a database file (with a browse button) for the file
// providers, server settings (host, port, database, user, password) for
// PostgreSQL. "Test Connection" opens the database once and reports the
// outcome. Settings may not contain ";" or ",", which would cut the
// connection string or the connections file line.
//
// Fill starts the dialog from an entry's connection string. When OK is
// chosen with a database file that does not exist, the dialog asks whether
// to create a new, empty database file there; only a Yes creates it (an
// empty file, which SQLite takes as an empty database); No leaves the
// dialog open.
//
// User-interface thread only.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <string>

namespace tallyhost {

class DataLinkDialog : public QDialog {
  Q_OBJECT

 public:
  explicit DataLinkDialog(QWidget* parent = nullptr);

  // The connection string of the current settings.
  std::string ConnectionString() const;
  // Empty when the settings can be used, else what is wrong.
  std::string Problem() const;
  // Opens the database once; empty on success, else the failure.
  std::string TestConnection() const;
  // Sets the fields from a connection string (unknown providers keep the
  // first one); an empty string changes nothing.
  void Fill(const std::string& connection_string);
  // Creates the empty database file named in `file`; empty on success,
  // else the failure. Never overwrites an existing file.
  std::string CreateEmptyFile() const;

  QComboBox* provider;
  QLineEdit* file;
  QPushButton* browse;
  QLineEdit *host, *port, *database, *user, *password;
  QPushButton* test;
  QPushButton* ok;
  QPushButton* cancel;

 private:
  void OnProvider();
  void OnBrowse();
  void OnTest();
  void OnOK();
  bool IsServer() const;
  QStackedWidget* pages_;
};

}  // namespace tallyhost
