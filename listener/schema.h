// Schema creation for a connection entry's database: the seventeen tables
// into which the engine writes. Missing tables are created, existing ones
// are left as they are; the database file itself must already exist.
//
// The scratch connection is the listener's one shared Connection; the
// routines here replace it and release it. The listener's copy of
// ExecuteDbCommand runs one statement in a transaction of its own with the
// lock-retry policy; a Cancel answer ends the listener program through the
// cancel handler (by default: exit with status 1).
//
// Thread safety: the user-interface thread only; callers run one at a time.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ado.h"

namespace schema {

constexpr int kTableCount = 17;
extern const std::array<const char*, kTableCount + 1> kTableNames;   // [0] unused

// The five column type slots chosen from the provider-types rowset.
struct ColumnTypes {
  std::string Integer, Single, DateTime, Text, LongBinary;
};
ColumnTypes ChooseProviderTypes(ado::Connection& connection);

// The table-creation list, numbered like the tables ([0] unused).
std::array<std::string, kTableCount + 1> TableCreationList(const ColumnTypes& types);

// Runs `statement` on `scratch` with the lock-retry policy: 0 done,
// 1 duplicate key, 2 ignored. Cancel calls the cancel handler.
int ExecuteDbCommand(ado::Connection& scratch, const std::string& statement);

// Opens the database, creates the missing tables and closes it again.
// Failures to open or to read the schema rowsets are thrown as ado::Error;
// statement failures are handled by ExecuteDbCommand.
void CreateDatabaseTables(const std::string& connection_string);

// The listener's shared scratch connection (created and released by the
// routines that use it).
std::shared_ptr<ado::Connection>& ScratchConnection();

void SetCancelHandler(std::function<void()> handler);

}  // namespace schema
