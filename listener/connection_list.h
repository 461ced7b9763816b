// ConnectionList: the rows of ListView1, one per connection entry. A row has
// a key ("con" + entry number), a text (the port) and three sub-items
// (database text, logon text, log path). It is a table model, so that the
// windowed front shows it as is; the core finds rows by key, never by
// position, because sorting reorders them.
//
// Sorting compares the column texts as text, once per call, with one order
// shared by all columns that flips after each sort (it starts ascending).
// Rows added later go to the end.
//
// The selected row is kept here by key (the windowed front mirrors its
// selection into it).
//
// Thread safety: user-interface thread only.
#pragma once

#include <QAbstractTableModel>
#include <array>
#include <optional>
#include <string>
#include <vector>

namespace tallyhost {

struct ListRow {
  std::string key;
  std::string text;
  std::array<std::string, 3> sub;   // sub-items 1 to 3 are sub[0] to sub[2]
};

class ConnectionList : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kColumns = 4;

  explicit ConnectionList(QObject* parent = nullptr);

  const std::vector<ListRow>& rows() const { return rows_; }
  int Count() const { return static_cast<int>(rows_.size()); }

  void Add(const ListRow& row);
  bool Remove(const std::string& key);
  ListRow* Find(const std::string& key);
  const ListRow* Find(const std::string& key) const;
  int IndexOf(const std::string& key) const;
  void SetText(const std::string& key, const std::string& text);
  void SetSubItem(const std::string& key, int sub_item, const std::string& text);

  // Sorts by a 0-based column and flips the order for the next call.
  void SortByColumn(int column);
  bool NextSortAscending() const { return ascending_; }

  void Select(const std::string& key) { selected_ = key; }
  // The selected row, if it still exists.
  ListRow* Selected();
  std::string SelectedKey() const { return selected_; }

  // The entry number in a key ("con" + number): its fourth character on.
  static int EntryNumber(const std::string& key);

  // QAbstractTableModel
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 signals:
  void Sorted();

 private:
  static const std::string& Column(const ListRow& row, int column);
  void EmitRowChanged(int index);

  std::vector<ListRow> rows_;
  bool ascending_ = true;
  std::string selected_;
};

}  // namespace tallyhost
