// Score_Module: the processing pass and the engine's per-thread state.
//
// EngineState holds the property values of Score_Class and every working
// value of a pass. There is one per thread (State()); all Score_Class
// objects on a thread share it and it outlives them. A pass must end before
// the next pass on the same thread begins.
//
// The current game is kept per database and server (GameSlots, keyed by the
// connection string and the Servers record), so that records of one server
// never land in another server's game.
//
// A pass is one write transaction: everything it stores is committed
// together before the COMPLETED line, each statement in a savepoint of its
// own. A stop (the user's Cancel, CommandResult 3) unwinds the pass with
// PassStop; Process catches it, commits what was stored before the stopped
// statement, releases the connection and ends without the COMPLETED line.
// A pass that cannot begin or whose database fails as a whole unwinds with
// PassDeferred: nothing of it is stored, LastPass.deferred is set and the
// failure reaches the caller. Other failures that no step handles are thrown
// as PassFailure (or ado::Error) after what was stored before them is
// committed, and reach the caller of Process as com::Error.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ado.h"
#include "score_class.h"
#include "textfile.h"

namespace tallycore {

struct ProviderTypeRow {
  int32_t DataType = 0;
  bool BestMatch = false;
  bool IsLong = false;
  std::string TypeName, LiteralPrefix, LiteralSuffix;
};

// Rows of ProviderTypeTable after the scan.
enum Slot { kSlotInteger = 1, kSlotSingle = 2, kSlotDateTime = 3, kSlotText = 4, kSlotLongBinary = 5 };

// The current game of one server in one database.
struct GameSlots {
  std::string ScoreTableName;   // empty: no game is current
  int32_t GameRecord = 0;
  double GameDateTime = 0;
  double EndOffset = 0;
  std::string LogDateText;
  std::string LogTimeText;
};

// What the engine remembers of one database between statements (see
// pass_caches.cpp).
struct PassCaches {
  std::string connection_string;
  uint64_t stamp = 0;   // the connection's change stamp after the last pass that kept them
  // The connection's kept-rows stamp as the last pass that kept them began,
  // and as this pass began.
  uint64_t kept_stamp = 0, kept_stamp_now = 0;
  bool valid = false;   // this pass started with what the last pass kept
  std::unordered_map<std::string, int32_t> records;   // look-up query -> Record
  std::unordered_map<std::string, int32_t> largest;   // table -> largest Record
};

struct EngineState {
  // Property values.
  int32_t Record = 0;
  std::string ConnectionString;
  int32_t ListenPort = 0;
  std::string ConnectedIPAddress;
  int32_t ConnectedPortAddress = 0;
  std::string LogPath;
  std::vector<uint8_t> UDPData;
  int16_t rawlog = 0;

  // Program folder lookup.
  std::string ProgID, DllFileName, DefaultProgramFolder;
  std::string LogFolder;

  int32_t ProcessNumber = 0;
  // The process log, held open between lines: while the file is as this
  // thread left it, its last line holds ProcessNumber and need not be read
  // again.
  textfile::Appender ProcessLog;
  std::string LoggedConnectionString;

  std::shared_ptr<ado::Connection> EngineConnection;
  int PassLevel = 1;   // the transaction level of the pass on EngineConnection
  std::shared_ptr<ado::Recordset> EngineRecordset;
  std::string QueryText;
  std::string CommandText;
  int32_t CommandResult = 0;
  int32_t NextRecord = 0;
  int32_t LogRecord = 0;
  int32_t ServerRecord = 0;

  std::array<ProviderTypeRow, 7> ProviderTypeTable;   // rows 1 to 6
  // The connection string whose provider ProviderTypeTable was scanned for:
  // a provider's types do not change, so later passes on it skip the scan.
  std::string ProviderTypesScannedFor;

  // The datagram as text, one character per byte.
  std::string DatagramText;

  // Server identification.
  int32_t PacketNumber = 0;
  std::vector<std::string> HeaderCvarNames;    // [0] unused
  std::vector<std::string> HeaderCvarValues;   // [0] unused
  int32_t HeaderCvarCount = 0;

  // Record parsing.
  std::array<std::string, 7> RecordFields;   // fields 1 to 6
  int32_t TypeRecord = 0, PlayerRecord = 0, WeaponRecord = 0, TeamRecord = 0, CvarRecord = 0;
  std::vector<int32_t> GameCvarList;

  // Current games, per (connection string, Servers record).
  std::map<std::pair<std::string, int32_t>, GameSlots> Games;
  // The slots of this pass's server; valid during a pass after the server
  // is identified (a detached slot set before).
  GameSlots* Game = nullptr;
  GameSlots DetachedGame;

  // Report of the last pass.
  PassOutcome LastPass;

  // The next pass's datagram identity (IDatagramIdentity), taken by the pass.
  struct DatagramIdentity {
    std::string spool_key;
    uint64_t sequence = 0;
  } Identity;
  // The connection string whose database was seen to have the ledger table.
  std::string LedgerReadyFor;
  // Tables whose numbering this pass holds (NewRowNumber).
  std::set<std::string> NumberingLocked;

  PassCaches Caches;
};

EngineState& State();

// Unwinds a pass after the user chose Cancel.
struct PassStop {};

// Unwinds a pass that cannot be stored now (the database cannot be opened,
// stays locked, or fails as a whole: full disk, input/output error, lost
// server): its transaction is rolled back, so nothing of the datagram is
// stored, and the datagram may be handed over again later.
struct PassDeferred {
  int32_t number;
  std::string description;
};

// A failure that ends the pass and reaches the caller of Process.
class PassFailure : public std::runtime_error {
 public:
  PassFailure(int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int32_t Number() const { return number_; }

 private:
  int32_t number_;
};

// Support address that ends the messages advising the user to write.
extern const char kSupportAddress[];

// The processing pass (Score_Class::Process). One write transaction holds
// everything a pass stores; each statement of ExecuteDbCommand runs in a
// savepoint within it. A killed process leaves none of the pass's rows.
void ProcessPass();

// Commits the pass's transaction (nothing when no connection is open),
// under the lock-retry policy; throws PassDeferred or PassStop when it
// cannot.
void CommitPass();

// What the engine remembers of the database (pass_caches.cpp). A pass
// begins with BeginPassCaches (after its transaction began: what earlier
// passes remembered is kept when the database's change stamp shows that no
// one else wrote since), ends with KeepPassCaches after its commit, or with
// ForgetPassCaches when its work was not all committed.
void BeginPassCaches();
// The tables whose rows the look-ups remember, and the columns a pass
// updates (rows of other programs may change there without harm).
const std::vector<ado::RowWatch>& RememberedTables();
void KeepPassCaches();
void ForgetPassCaches();
// True when the pass began with what earlier passes remembered.
bool PassCachesCarriedOver();
// The Record of the query's first row (0 when it has none), remembered.
int32_t FindRecord(const std::string& query);
// The Record that the query will find from now on (a row just inserted).
void RememberRecord(const std::string& query, int32_t record);
// A table's largest Record, when known; RememberLargestRecord sets it from
// the table, RememberStoredRecord raises it after an insert.
bool KnownLargestRecord(const std::string& table, int32_t* largest);
void RememberLargestRecord(const std::string& table, int32_t largest);
void RememberStoredRecord(const std::string& table, int32_t record);
void ForgetLargestRecord(const std::string& table);

// Program folder of the registered engine library, or the default folder;
// read once per process (registry::RegisteredProgramFolderOnce).
std::string LocateProgramFolder(const std::string& prog_id, const std::string& dll_name,
                                const std::string& default_folder);

// The connection string with its password and persist-security segments
// removed (ado::WithoutPassword).
std::string MakeLoggedConnectionString(const std::string& connection_string);

// Fills ProviderTypeTable from the open EngineConnection.
void ScanProviderTypes();

// Runs CommandText in a transaction of its own with the lock-retry policy.
// Returns 0 done, 1 duplicate key, 2 ignored, 3 stop; also stored in
// CommandResult.
int32_t ExecuteDbCommand();
// ExecuteDbCommand, unwinding with PassStop on result 3.
int32_t RunCommand(const std::string& command_text);

// Runs a statement whose failure changes nothing but speed (an index) in a
// savepoint of its own; false when the database refused it. A failure of
// the database as a whole is thrown.
bool ExecuteOptional(const std::string& statement);

// Select statements run directly on EngineConnection into EngineRecordset.
std::shared_ptr<ado::Recordset>& RunQuery(const std::string& query_text);
// RunQuery for a caller that reads the first row at most (row numbering,
// look-ups): the database may stop after it.
std::shared_ptr<ado::Recordset>& RunFirstRowQuery(const std::string& query_text);

// The packet archive (Logs row), then the datagram text and the raw log.
void ArchivePacket();
void MakeDatagramText();

// Parsing phases (server identification, records, player variables). Each
// runs on DatagramText; a missing required server variable returns false
// (the pass completes without scoring).
bool IdentifyServer(size_t* record_start);
void WalkRecords(size_t record_start);

}  // namespace tallycore
