#include "received_ledger.h"

#include <stdexcept>

#include "ado.h"

namespace ledger {

namespace {

std::string CheckedKey(const std::string& key) {
  if (key.size() != 16) throw std::invalid_argument("A spool key is 16 hexadecimal digits.");
  for (char c : key)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      throw std::invalid_argument("A spool key is 16 hexadecimal digits.");
  return key;
}

bool TableReadable(ado::Connection& c) {
  try {
    auto rs = c.Execute(std::string("Select Spool_Key From ") + kTable + " Where Spool_Key = ''");
    rs->Close();
    return true;
  } catch (const ado::Error&) {
    return false;
  }
}

}  // namespace

void EnsureTable(ado::Connection& c) {
  // Programs sharing a database make the table one at a time, so that none
  // meets another's half-made table.
  const int level = c.BeginTrans();
  try {
    c.NumberingLock(kTable);
    c.Execute(std::string("Create Table If Not Exists ") + kTable +
              " (Spool_Key Varchar(16) Not Null Primary Key, Last_Sequence BigInt Not Null, Date_Time DateTime)");
    c.CommitTrans();
  } catch (const ado::Error&) {
    if (c.TransactionLevel() >= level) c.RollbackTrans();
    // Made by another program at the same moment: the table is there.
    if (!TableReadable(c)) throw;
  }
}

uint64_t CommittedThrough(ado::Connection& c, const std::string& spool_key) {
  auto rs = c.Execute(std::string("Select Last_Sequence From ") + kTable + " Where Spool_Key = '" +
                      CheckedKey(spool_key) + "'");
  uint64_t through = 0;
  if (!rs->Eof()) {
    ado::Value v = rs->Field("Last_Sequence");
    if (!v.IsNull() && v.AsInteger() > 0) through = static_cast<uint64_t>(v.AsInteger());
  }
  rs->Close();
  return through;
}

void Record(ado::Connection& c, const std::string& spool_key, uint64_t sequence, uint64_t known,
            double now_serial) {
  const std::string key = CheckedKey(spool_key);
  const std::string n = std::to_string(sequence), when = std::to_string(now_serial);
  if (known == 0) {
    c.Execute(std::string("Insert Into ") + kTable + " (Spool_Key, Last_Sequence, Date_Time) Values ('" + key +
              "', " + n + ", " + when + ")");
  } else {
    c.Execute(std::string("Update ") + kTable + " Set Last_Sequence = " + n + ", Date_Time = " + when +
              " Where Spool_Key = '" + key + "'");
  }
}

bool ReadCommittedThrough(const std::string& connection_string, const std::string& spool_key, uint64_t* through) {
  try {
    ado::Connection c;
    c.Open(connection_string);
    uint64_t n = 0;
    try {
      n = CommittedThrough(c, spool_key);
    } catch (const ado::Error& e) {
      if (e.Unavailable() || TableReadable(c)) throw;
      n = 0;   // no table yet: nothing stored through a spool
    }
    c.Close();
    *through = n;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace ledger
