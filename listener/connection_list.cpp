#include "connection_list.h"

#include <algorithm>

#include "text_rules.h"

namespace tallyhost {

namespace {
const char* const kHeaders[ConnectionList::kColumns] = {"Port", "Database", "Logon", "Log"};

QString Narrow(const std::string& s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); }
}  // namespace

ConnectionList::ConnectionList(QObject* parent) : QAbstractTableModel(parent) {}

void ConnectionList::Add(const ListRow& row) {
  int n = Count();
  beginInsertRows(QModelIndex(), n, n);
  rows_.push_back(row);
  endInsertRows();
}

bool ConnectionList::Remove(const std::string& key) {
  int i = IndexOf(key);
  if (i < 0) return false;
  beginRemoveRows(QModelIndex(), i, i);
  rows_.erase(rows_.begin() + i);
  endRemoveRows();
  if (selected_ == key) selected_.clear();
  return true;
}

int ConnectionList::IndexOf(const std::string& key) const {
  for (size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].key == key) return static_cast<int>(i);
  return -1;
}

ListRow* ConnectionList::Find(const std::string& key) {
  int i = IndexOf(key);
  return i < 0 ? nullptr : &rows_[static_cast<size_t>(i)];
}

const ListRow* ConnectionList::Find(const std::string& key) const {
  int i = IndexOf(key);
  return i < 0 ? nullptr : &rows_[static_cast<size_t>(i)];
}

void ConnectionList::SetText(const std::string& key, const std::string& text) {
  int i = IndexOf(key);
  if (i < 0) return;
  rows_[static_cast<size_t>(i)].text = text;
  EmitRowChanged(i);
}

void ConnectionList::SetSubItem(const std::string& key, int sub_item, const std::string& text) {
  int i = IndexOf(key);
  if (i < 0 || sub_item < 1 || sub_item > 3) return;
  rows_[static_cast<size_t>(i)].sub[static_cast<size_t>(sub_item - 1)] = text;
  EmitRowChanged(i);
}

const std::string& ConnectionList::Column(const ListRow& row, int column) {
  return column <= 0 ? row.text : row.sub[static_cast<size_t>(std::min(column, 3) - 1)];
}

void ConnectionList::SortByColumn(int column) {
  emit layoutAboutToBeChanged();
  bool asc = ascending_;
  std::stable_sort(rows_.begin(), rows_.end(), [column, asc](const ListRow& a, const ListRow& b) {
    int c = Narrow(Column(a, column)).compare(Narrow(Column(b, column)), Qt::CaseInsensitive);
    return asc ? c < 0 : c > 0;
  });
  emit layoutChanged();
  ascending_ = !ascending_;
  emit Sorted();
}

ListRow* ConnectionList::Selected() { return selected_.empty() ? nullptr : Find(selected_); }

int ConnectionList::EntryNumber(const std::string& key) {
  return key.size() > 3 ? RoundToInt32(NumberPrefix(key.substr(3))) : 0;
}

int ConnectionList::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Count();
}

int ConnectionList::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant ConnectionList::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Count()) return {};
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  return Narrow(Column(rows_[static_cast<size_t>(index.row())], index.column()));
}

QVariant ConnectionList::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumns)
    return {};
  return QString::fromLatin1(kHeaders[section]);
}

void ConnectionList::EmitRowChanged(int index) {
  emit dataChanged(this->index(index, 0), this->index(index, kColumns - 1));
}

}  // namespace tallyhost
