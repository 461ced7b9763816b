// Recordset: read recordsets (rows fetched as they are reached) and the
// add-only recordset of Open(..., kLockOptimistic).
#include <utility>

#include "ado.h"
#include "backend.h"
#include "jet_sql.h"

namespace ado {
namespace {
const char kClosed[] = "Operation is not allowed when the object is closed.";
const char kNoCurrent[] =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a "
    "current record.";
const char kNoItem[] = "Item cannot be found in the collection corresponding to the requested name or ordinal.";
const char kNoUpdate[] =
    "Current Recordset does not support updating. This may be a limitation of the provider, or of the "
    "selected locktype.";
}  // namespace

struct Recordset::Impl {
  bool open = false;
  std::vector<std::string> names;
  // Read recordsets: the rows fetched so far and the cursor for the rest.
  std::vector<std::vector<Value>> rows;
  size_t pos = 0;
  std::unique_ptr<detail::Cursor> cursor;
  // Add-only recordsets.
  std::shared_ptr<detail::Session> session;
  std::string table;
  bool pending = false;
  std::vector<Value> values;
  std::vector<bool> set;

  void RequireOpen() const {
    if (!open) throw Error(kErrState, kClosed);
  }
  // True when the current row exists (fetching it when needed).
  bool Current() {
    while (pos >= rows.size() && cursor) {
      std::vector<Value> row;
      if (cursor->Next(&row)) {
        rows.push_back(std::move(row));
      } else {
        cursor.reset();
      }
    }
    return pos < rows.size();
  }
  size_t Index(const std::string& name) const {
    for (size_t i = 0; i < names.size(); ++i)
      if (jet::EqualsNoCase(names[i], name)) return i;
    throw Error(kErrNoField, kNoItem);
  }
  void RequirePending() const {
    RequireOpen();
    if (!session) throw Error(kErrState, kNoUpdate);
    if (!pending) throw Error(kErrState, "Operation is not allowed in this context.");
  }
};

Recordset::Recordset() : impl_(std::make_unique<Impl>()) {}
Recordset::~Recordset() = default;

void Recordset::Open(const std::string& source, Connection& active_connection, int /*cursor_type*/,
                     int lock_type) {
  if (impl_->open) throw Error(kErrState, "Operation is not allowed when the object is open.");
  if (lock_type == kLockReadOnly) {
    std::unique_ptr<detail::Cursor> cursor = active_connection.session().Execute(source);
    if (cursor) Attach(std::move(cursor));
    return;
  }
  std::string table;
  if (!jet::IsSelectAllFrom(source, &table))
    throw Error(kErrCommand, "A recordset that adds rows needs the source \"Select * From <table>\".");
  std::shared_ptr<detail::Session> session = active_connection.shared_session();
  std::vector<jet::Column> columns = session->Columns(table);
  Impl fresh;
  fresh.open = true;
  for (const jet::Column& c : columns) fresh.names.push_back(c.name);
  fresh.session = std::move(session);
  fresh.table = table;
  *impl_ = std::move(fresh);
}

void Recordset::Load(std::vector<std::string> names, std::vector<std::vector<Value>> rows) {
  Impl fresh;
  fresh.open = true;
  fresh.names = std::move(names);
  fresh.rows = std::move(rows);
  *impl_ = std::move(fresh);
}

void Recordset::Attach(std::unique_ptr<detail::Cursor> cursor) {
  Impl fresh;
  fresh.open = true;
  fresh.names = cursor->Names();
  fresh.cursor = std::move(cursor);
  *impl_ = std::move(fresh);
}

bool Recordset::Eof() const {
  impl_->RequireOpen();
  if (impl_->pending) return false;
  return !impl_->Current();
}

void Recordset::MoveFirst() {
  impl_->RequireOpen();
  impl_->pos = 0;
}

void Recordset::MoveNext() {
  impl_->RequireOpen();
  if (!impl_->Current()) throw Error(kErrEof, kNoCurrent);
  ++impl_->pos;
}

void Recordset::Close() { *impl_ = Impl(); }

bool Recordset::IsOpen() const { return impl_->open; }

Value Recordset::Field(const std::string& name) const {
  impl_->RequireOpen();
  const size_t i = impl_->Index(name);
  if (impl_->pending) return impl_->values[i];
  if (!impl_->Current()) throw Error(kErrEof, kNoCurrent);
  return impl_->rows[impl_->pos][i];
}

std::vector<std::string> Recordset::FieldNames() const { return impl_->names; }

void Recordset::AddNew() {
  impl_->RequireOpen();
  if (!impl_->session) throw Error(kErrState, kNoUpdate);
  if (impl_->pending) Update();   // as ADO does: a pending new row is saved first
  impl_->values.assign(impl_->names.size(), Value());
  impl_->set.assign(impl_->names.size(), false);
  impl_->pending = true;
}

void Recordset::SetField(const std::string& name, const Value& value) {
  impl_->RequirePending();
  const size_t i = impl_->Index(name);
  impl_->values[i] = value;
  impl_->set[i] = true;
}

void Recordset::AppendChunk(const std::string& name, const std::vector<uint8_t>& chunk) {
  impl_->RequirePending();
  const size_t i = impl_->Index(name);
  Value& v = impl_->values[i];
  if (v.IsNull()) {
    v = Value::Bytes(chunk);
  } else if (v.type() == Value::Type::Bytes) {
    std::vector<uint8_t> joined = v.AsBytes();
    joined.insert(joined.end(), chunk.begin(), chunk.end());
    v = Value::Bytes(std::move(joined));
  } else {
    throw Error(kErrConversion, "Type mismatch");
  }
  impl_->set[i] = true;
}

void Recordset::Update() {
  impl_->RequireOpen();
  if (!impl_->session) throw Error(kErrState, kNoUpdate);
  if (!impl_->pending) return;
  std::vector<std::string> columns;
  std::vector<Value> values;
  for (size_t i = 0; i < impl_->names.size(); ++i) {
    if (!impl_->set[i]) continue;
    columns.push_back(impl_->names[i]);
    values.push_back(impl_->values[i]);
  }
  impl_->session->Insert(impl_->table, columns, values);   // on failure the row stays pending
  impl_->pending = false;
}

void Recordset::CancelUpdate() {
  impl_->RequireOpen();
  impl_->pending = false;
}

}  // namespace ado
