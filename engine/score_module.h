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
// A stop (the user's Cancel, CommandResult 3) unwinds the pass with
// PassStop; Process catches it, releases the connection (rolling back an
// open transaction) and ends without the COMPLETED line. Failures that no
// step handles are thrown as PassFailure (or ado::Error) and reach the
// caller of Process as com::Error.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ado.h"
#include "score_class.h"

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
  std::string LoggedConnectionString;

  std::shared_ptr<ado::Connection> EngineConnection;
  std::shared_ptr<ado::Recordset> EngineRecordset;
  std::string QueryText;
  std::string CommandText;
  int32_t CommandResult = 0;
  int32_t NextRecord = 0;
  int32_t LogRecord = 0;
  int32_t ServerRecord = 0;

  std::array<ProviderTypeRow, 7> ProviderTypeTable;   // rows 1 to 6

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
};

EngineState& State();

// Unwinds a pass after the user chose Cancel.
struct PassStop {};

// A failure that ends the pass and reaches the caller of Process.
class PassFailure : public std::runtime_error {
 public:
  PassFailure(int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int32_t Number() const { return number_; }

 private:
  int32_t number_;
};

// The processing pass (Score_Class::Process).
void ProcessPass();

// Program folder of the registered engine library, or the default folder.
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

// Select statements run directly on EngineConnection into EngineRecordset.
std::shared_ptr<ado::Recordset>& RunQuery(const std::string& query_text);

// The packet archive (Logs row), then the datagram text and the raw log.
void ArchivePacket();
void MakeDatagramText();

// Parsing phases (server identification, records, player variables). Each
// runs on DatagramText; a missing required server variable returns false
// (the pass completes without scoring).
bool IdentifyServer(size_t* record_start);
void WalkRecords(size_t record_start);

}  // namespace tallycore
