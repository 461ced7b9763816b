// received_ledger: which spooled datagrams a database has stored.
//
// The listener numbers every datagram it spools (spool.h: the spool file's
// key and a sequence). The pass that stores a datagram records, in its own
// transaction, that the spool's datagrams up to that number are dealt with:
// one row per spool in the table Tallyhost_Received, a table of the
// listener's own beside the designed ones. A spool hands its datagrams over
// in order, so "dealt with" is everything up to the row's number; a
// datagram handed over again (after a crash between the commit and the
// spool's note of it, a lost head file, a damaged spool) is found there and
// skipped instead of stored twice.
//
// Columns: Spool_Key (the spool's key, 16 hexadecimal digits, the primary
// key), Last_Sequence (64-bit), Date_Time (when the row last moved on).
//
// All functions run Jet-dialect statements on an open connection and throw
// ado::Error as it comes. A key that is not 16 hexadecimal digits is refused
// (std::invalid_argument) before any statement is built from it.
#pragma once

#include <cstdint>
#include <string>

namespace ado {
class Connection;
}

namespace ledger {

constexpr const char kTable[] = "Tallyhost_Received";

// Creates the table when it is missing. Run it outside a transaction: when
// another program creates the table at the same moment, the failure is
// taken back and the table found.
void EnsureTable(ado::Connection& c);

// The last sequence of the spool that the database has dealt with; 0 when
// none (also when the table is missing).
uint64_t CommittedThrough(ado::Connection& c, const std::string& spool_key);

// Moves the spool's row on to `sequence` (inserting it the first time), in
// the connection's open transaction. `known` is what CommittedThrough said
// in the same transaction.
void Record(ado::Connection& c, const std::string& spool_key, uint64_t sequence, uint64_t known,
            double now_serial);

// Opens the database of `connection_string` and reads CommittedThrough;
// false (and `*through` untouched) when it cannot be read now.
bool ReadCommittedThrough(const std::string& connection_string, const std::string& spool_key, uint64_t* through);

}  // namespace ledger
