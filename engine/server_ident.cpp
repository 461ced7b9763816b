// Server identification: the header's packet number, the server variable
// block, the sender's Servers row and its Servers_Cvars links.
#include <set>
#include <string>

#include "datetime.h"
#include "msgbox.h"
#include "scoring.h"

namespace tallycore {
namespace {

constexpr size_t kHeaderSize = 20;

// A short, printable excerpt of a datagram line for failure texts.
std::string Excerpt(const std::string& line) {
  std::string out;
  for (unsigned char c : line.substr(0, 60)) {
    if (c < 32 || c == 127) {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (line.size() > 60) out += "...";
  return out;
}

// The message shown when a required variable is missing.
void ShowMissingVariable(const std::string& name) {
  const EngineState& s = State();
  msgbox::MsgBox("Log from IP Address " + s.ConnectedIPAddress + " does not contain " + name +
                     " cvar.  Can't score game.\r\nContact Server and ask admin to add " + name +
                     " to server variables sent with the log...it that doesn't work then email " +
                     kSupportAddress + "\r\nProgram is terminating.",
                 msgbox::vbOKOnly, "Error: Can not locate Application Path");
}

// Index of the first variable called `name` (1-based), 0 when missing.
int32_t FindVariable(const std::string& name) {
  const EngineState& s = State();
  for (int32_t i = 1; i <= s.HeaderCvarCount; ++i) {
    if (s.HeaderCvarNames[i] == name) return i;
  }
  return 0;
}

// Finds the Servers row by name, address and port, or inserts it.
void FindOrAddServer(const std::string& name, const std::string& address,
                     const std::string& port) {
  EngineState& s = State();
  const std::string query = "Select Record, Packet_Number From Servers where Server_Name=" +
                            TextLiteral(name) + " and Server_IP=" + TextLiteral(address) +
                            " and Server_Port=" + TextLiteral(port);
  if ((s.ServerRecord = FindRecord(query)) != 0) return;
  if (LockNumbering("Servers") && (s.ServerRecord = FindRecord(query)) != 0) return;
  if (InsertNewRow("Servers", [&](int32_t n) {
        return "Insert into Servers values ( " + std::to_string(n) + ", " + TextLiteral(name) +
               ", " + TextLiteral(address) + ", " + TextLiteral(port) + ", 0, " +
               DateTimeLiteral(datetime::Now()) + ")";
      }) == 0)
    RememberRecord(query, s.NextRecord);
  // After an ignored insert the number is kept although no row was written.
  s.ServerRecord = s.NextRecord;
}

// Links the pair just looked up (CvarRecord) to the server.
void LinkServerVariable() {
  EngineState& s = State();
  const std::string server = std::to_string(s.ServerRecord);
  const std::string cvar = std::to_string(s.CvarRecord);
  const std::string query =
      "Select Record From Servers_Cvars where Server=" + server + " and Cvar=" + cvar;
  if (FindRecord(query)) return;
  if (LockNumbering("Servers_Cvars") && FindRecord(query)) return;
  if (InsertNewRow("Servers_Cvars", [&](int32_t n) {
        return "Insert into Servers_Cvars values ( " + std::to_string(n) + ", " + server + ", " +
               cvar + ")";
      }) == 0)
    RememberRecord(query, s.NextRecord);
}

}  // namespace

int32_t DecodePacketNumber(const std::string& text) {
  auto byte = [&](size_t i) { return static_cast<int32_t>(static_cast<unsigned char>(text[i])); };
  return 4096 * byte(4) + 256 * byte(5) + 16 * byte(6) + byte(7);
}

bool SplitVariableLine(const std::string& line, std::string* name, std::string* value) {
  size_t q = line.find('"');
  if (q == std::string::npos || q == 0 || q + 1 >= line.size()) return false;
  *name = line.substr(0, q - 1);
  *value = line.substr(q + 1, line.size() - q - 2);
  return true;
}

// The variable tables hold entries 1 to 100; a 101st variable makes the
// datagram malformed.
constexpr size_t kMaxServerVariables = 100;

void ReadVariableBlock(const std::string& text, std::vector<std::string>* names,
                       std::vector<std::string>* values, size_t* nul) {
  if (text.size() < kHeaderSize) {
    throw PassFailure(kErrMalformedDatagram,
                      "Malformed datagram: " + std::to_string(text.size()) +
                          " bytes, shorter than its 20-byte header.");
  }
  size_t end = text.find('\0', kHeaderSize);
  if (end == std::string::npos) {
    throw PassFailure(kErrMalformedDatagram,
                      "Malformed datagram: no NUL ends the server variable block.");
  }
  names->assign(1, std::string());
  values->assign(1, std::string());
  size_t pos = kHeaderSize;
  int32_t line_number = 0;
  while (pos < end) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string::npos || lf > end) break;   // a last line without LF is not read
    ++line_number;
    if (lf > pos) {
      std::string line = text.substr(pos, lf - pos), name, value;
      if (!SplitVariableLine(line, &name, &value)) {
        throw PassFailure(kErrMalformedDatagram,
                          "Malformed datagram: server variable line " +
                              std::to_string(line_number) +
                              " has no usable double quote: " + Excerpt(line));
      }
      if (names->size() > kMaxServerVariables) {
        throw PassFailure(kErrMalformedDatagram,
                          "Malformed datagram: more than " + std::to_string(kMaxServerVariables) +
                              " server variable lines.");
      }
      names->push_back(std::move(name));
      values->push_back(std::move(value));
    }
    pos = lf + 1;
  }
  *nul = end;
}

const std::vector<std::string>& ScoringIndexStatements() {
  static const std::vector<std::string> kStatements = {
      "Create Index IF NOT EXISTS IX_Players_Player On Players (Player)",
      "Create Index IF NOT EXISTS IX_Types_Type On Types (Type)",
      "Create Index IF NOT EXISTS IX_Weapons_Weapon On Weapons (Weapon)",
      "Create Index IF NOT EXISTS IX_Teams_Team On Teams (Team)",
      "Create Index IF NOT EXISTS IX_Maps_Map On Maps (Map)",
      "Create Index IF NOT EXISTS IX_Cvars_Cvar_Val On Cvars (Cvar, Val)",
      "Create Index IF NOT EXISTS IX_Servers_Name On Servers (Server_Name, Server_IP, Server_Port)",
      "Create Index IF NOT EXISTS IX_Servers_Cvars_Server On Servers_Cvars (Server, Cvar)",
      "Create Index IF NOT EXISTS IX_Servers_Games_Server On Servers_Games (Server, Game)",
      "Create Index IF NOT EXISTS IX_Games_Cvars_Game On Games_Cvars (Game, Cvar)",
      "Create Index IF NOT EXISTS IX_Games_Players_Teams_Game On Games_Players_Teams (Game, Player, Team)",
      "Create Index IF NOT EXISTS IX_Games_Players_Cvars_Game On Games_Players_Cvars (Game, Player, Cvar)",
      "Create Index IF NOT EXISTS IX_Logs_Games_Log On Logs_Games (Log, Game)",
  };
  return kStatements;
}

void EnsureScoringIndexes() {
  // Once per database and thread; a database that refuses (locked, another
  // provider) is simply tried again on a later pass.
  thread_local std::set<std::string> done;
  EngineState& s = State();
  if (!s.EngineConnection || done.count(s.ConnectionString)) return;
  for (const std::string& statement : ScoringIndexStatements())
    if (!ExecuteOptional(statement)) return;
  done.insert(s.ConnectionString);
}

bool IdentifyServer(size_t* record_start) {
  EngineState& s = State();
  const std::string& text = s.DatagramText;

  // Header and variable block.
  size_t nul = 0;
  ReadVariableBlock(text, &s.HeaderCvarNames, &s.HeaderCvarValues, &nul);
  s.PacketNumber = DecodePacketNumber(text);
  s.HeaderCvarCount = static_cast<int32_t>(s.HeaderCvarNames.size()) - 1;

  // Required variables, looked for in this order.
  int32_t found[3] = {0, 0, 0};
  const char* const kRequired[3] = {"hostname", "$HOST_IP$", "port"};
  for (int i = 0; i < 3; ++i) {
    found[i] = FindVariable(kRequired[i]);
    if (found[i] == 0) {
      // The archive is stored before the box is shown, so that no lock is
      // held while it waits for the user.
      CommitPass();
      ShowMissingVariable(kRequired[i]);
      s.EngineRecordset.reset();
      if (s.EngineConnection) s.EngineConnection->Close();
      s.EngineConnection.reset();
      return false;
    }
  }

  EnsureScoringIndexes();
  s.LastPass.server_hostname = s.HeaderCvarValues[found[0]];
  FindOrAddServer(s.HeaderCvarValues[found[0]], s.HeaderCvarValues[found[1]],
                  s.HeaderCvarValues[found[2]]);
  s.Game = &s.Games[{s.ConnectionString, s.ServerRecord}];
  ConfirmCurrentGame();

  RunCommand("Update Servers Set Packet_Number=" + std::to_string(s.PacketNumber) +
             " where Record=" + std::to_string(s.ServerRecord));

  for (int32_t i = 1; i <= s.HeaderCvarCount; ++i) {
    LookupCvar(s.HeaderCvarNames[i], s.HeaderCvarValues[i]);
    LinkServerVariable();
  }
  *record_start = nul + 1;
  return true;
}

}  // namespace tallycore
