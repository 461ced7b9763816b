// MainModule: the listener's process-wide state and its start-up routine.
//
// MainState holds everything the listener keeps for the whole run: the
// program folder, the command-line values, the connection string table,
// the list rows (ListView1), the sockets (udpPeerB) and the values the
// dialogs share. One instance lives for the run; the core (start-up,
// receipt, commands, closing) works on it, always on the user-interface
// thread.
//
// Main runs the start-up sequence against a front (FormView and Dialogs).
// Its failures are handled as the listener designs them: a database or a
// socket failure of one entry shows its message and start-up goes on; any
// other failure shows the general failure message and tries the failed step
// once more, and when that fails too Main throws StartupAbort.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "connection_list.h"
#include "front.h"
#include "score_class.h"
#include "text_rules.h"
#include "spool.h"
#include "udp_peer.h"

namespace tallyhost {

using tallycore::kSupportAddress;
extern const char kAppKey[];   // "Tallyhost"
extern const char kAboutLine[];
extern const char kCrLf[];

struct CommandLine {
  int32_t capacity = 10;
  int16_t rawlog = 1;
  std::string connections_file = "connections.cfg";
  bool headless = false;
  bool quiet = false;      // no receipt line per datagram (headless)
  std::string metrics;     // "ADDRESS:PORT" of the metrics endpoint, or empty
  SpoolOptions spool;      // "spoolsync=" and "spoolmax="
};

// The whole argument string (arguments joined by blanks).
std::string JoinArguments(int argc, char** argv);
// Applies "maxcon=", "logout=", "cfgfile=", "headless=", "quiet=",
// "metrics=", "spoolsync=" and "spoolmax=" to the defaults,
// then the capacity's lower limit and the default file name. Throws Failure
// when a number does not fit its type.
CommandLine ParseCommandLine(const std::string& command_line);

struct MainState {
  std::string ProgID = "Tallycore.Score_Class";
  std::string DllFileName = "libtallycore.so";
  std::string DefaultProgramPath;
  std::string ProgramPath;
  int32_t Capacity = 10;
  int16_t RawLog = 1;
  std::string ConnectionsFileName = "connections.cfg";
  bool Headless = false;
  SpoolOptions SpoolSettings;   // how the entries' spools sync and how large they grow

  ConnectionList ListView1;
  std::unique_ptr<UdpPeerArray> udpPeerB;

  std::string CurrentConnectionString;
  bool LogonAccepted = false;
  std::string DialogResult;            // set by OK of SingleValue/SingleSelect
  std::string CommonDialogFileName;    // the file dialog's last file name
  std::string LastLogPath;             // log path of the entry handled last
  // Lines of entries whose logon was cancelled: saved after the list's rows,
  // so that a save does not drop them.
  std::vector<std::string> HeldLines;

  MainState();

  std::string ConnectionsPath() const { return ProgramPath + "/" + ConnectionsFileName; }

  // The connection string table, slots 0 to Capacity.
  const std::string& Slot(int n) const;
  void SetSlot(int n, const std::string& value);   // throws Failure out of range

 private:
  std::map<int, std::string> slots_;
};

class StartupAbort : public std::runtime_error {
 public:
  explicit StartupAbort(const Failure& f)
      : std::runtime_error("Error # " + std::to_string(f.Number()) + ": " + f.Description()),
        failure(f) {}
  Failure failure;
};

// Messages shared by start-up and the connection commands.
std::string DatabaseFailureText(const Failure& f, const std::string& database_text,
                                const std::string& port_text);
std::string SocketFailureText(const Failure& f, const std::string& port_text);
std::string GeneralFailureText(const std::string& last_log_path);
extern const char kCanNotConnectTitle[];   // "Error: Can not connect to database."

// The start-up sequence. Throws StartupAbort when the program must end.
void Main(MainState& state, const std::string& command_line, FormView& view, Dialogs& dialogs);

// Opens entry n's socket: schema, load, bind (start-up step 11 for one row).
void OpenEntry(MainState& state, const ListRow& row);

}  // namespace tallyhost
