// The processing pass: process log, connection, provider types, then the
// archive and the parsing phases, and the completion line.
#include "score_module.h"

#include <cmath>
#include <cstdlib>

#include "datetime.h"
#include "msgbox.h"
#include "paths.h"
#include "rounding.h"
#include "scoring.h"
#include "textfile.h"

namespace tallycore {

EngineState& State() {
  thread_local EngineState state;
  return state;
}

namespace {

const char kCrLf[] = "\r\n";

// The number in the process log's last line, 0 when there is none.
int32_t LastProcessNumber(const std::string& last_line) {
  size_t at = last_line.find("Process# ");
  if (at == std::string::npos) return 0;
  size_t from = at + 9;
  size_t semi = last_line.find(';', from);
  double number = rounding::RoundHalfEven(
      LeadingNumber(last_line.substr(from, semi == std::string::npos ? std::string::npos : semi - from)));
  // A number that leaves no next one counts as none.
  return number >= -2147483648.0 && number < 2147483647.0 ? static_cast<int32_t>(number) : 0;
}

std::string LogLine(const char* what) {
  auto& s = State();
  return "Process# " + std::to_string(s.ProcessNumber) + what +
         datetime::FormatGeneral(datetime::Now()) + ";ListenPort=" + std::to_string(s.ListenPort) +
         ";ConnectedIPAddress=" + s.ConnectedIPAddress + ";ConnectedPort=" +
         std::to_string(s.ConnectedPortAddress) + ";Database=" + s.LoggedConnectionString;
}

void ShowProgramFolderMessage() {
  msgbox::MsgBox("Can't locate program path " + State().LogPath + " for ActiveX dll." + kCrLf +
                     "Uninstall then re-install this program...it that doesn't work then email " +
                     kSupportAddress + kCrLf + "Program is terminating.",
                 msgbox::vbOKOnly, "Error: Can not locate Application Path");
}

void ShowLogPathMessage() {
  msgbox::MsgBox("Can't locate path to log " + State().LogPath + "." + kCrLf +
                     "Select a new log path...it that doesn't work then email " +
                     kSupportAddress + kCrLf + "Program is terminating.",
                 msgbox::vbOKOnly, "Error: Can not locate Log Path");
}

// Steps 1 and 2: the program folder and the STARTED line. False ends the pass.
bool StartProcessLog() {
  auto& s = State();
  if (s.LogPath.empty()) {
    try {
      s.ProgID = kProgID;
      s.DllFileName = kLibraryName;
      s.DefaultProgramFolder = paths::DefaultProgramFolder();
      s.LogFolder = LocateProgramFolder(s.ProgID, s.DllFileName, s.DefaultProgramFolder);
      s.LogPath = s.LogFolder + "/Process.log";
    } catch (const std::exception&) {
      ShowProgramFolderMessage();
      return false;
    }
  }
  size_t slash = s.LogPath.rfind('/');
  if (slash == std::string::npos) {
    ShowLogPathMessage();
    return false;
  }
  s.LogFolder = s.LogPath.substr(0, slash);
  bool ok = true;
  if (!s.LogFolder.empty() && !textfile::DirectoryExists(s.LogFolder)) {
    // The default program folder is made with its parents; any other log
    // folder one level deep.
    ok = s.LogFolder == paths::DefaultProgramFolder() ? textfile::CreateDirectories(s.LogFolder)
                                               : textfile::CreateDirectory(s.LogFolder);
  }
  int32_t last = 0;
  if (ok) {
    if (!textfile::FileExists(s.LogPath)) {
      ok = textfile::WriteLines(s.LogPath, {});
    } else {
      auto line = textfile::ReadLastLine(s.LogPath);
      ok = line.has_value();
      if (ok) last = LastProcessNumber(*line);
    }
  }
  if (ok) {
    s.ProcessNumber = last + 1;
    s.LoggedConnectionString = MakeLoggedConnectionString(s.ConnectionString);
    ok = textfile::AppendLine(s.LogPath, LogLine(" STARTED "));
  }
  if (!ok) ShowLogPathMessage();
  return ok;
}

// Releases the connection; an open transaction is rolled back.
void ReleaseConnection() {
  auto& s = State();
  s.EngineRecordset.reset();
  if (s.EngineConnection) {
    try {
      if (s.EngineConnection->InTransaction()) s.EngineConnection->RollbackTrans();
      s.EngineConnection->Close();
    } catch (const std::exception&) {
      // The connection goes away below in any case.
    }
    s.EngineConnection.reset();
  }
}

void Complete() {
  auto& s = State();
  s.EngineRecordset.reset();
  s.EngineConnection.reset();
  if (!textfile::AppendLine(s.LogPath, LogLine(" COMPLETED ")))
    throw PassFailure(ado::kErrProvider, "Can't write to the process log " + s.LogPath + ".");
  s.LastPass.completed = true;
}

}  // namespace

std::string MakeLoggedConnectionString(const std::string& connection_string) {
  return ado::WithoutPassword(connection_string);
}

void ProcessPass() {
  auto& s = State();
  s.LastPass = PassOutcome{};
  s.DetachedGame = GameSlots{};
  s.Game = &s.DetachedGame;
  if (!StartProcessLog()) return;
  s.LastPass.process_number = s.ProcessNumber;
  try {
    ReleaseConnection();
    s.EngineConnection = std::make_shared<ado::Connection>();
    s.EngineConnection->Open(s.ConnectionString, "", "", ado::kOptionUnspecified);
    ScanProviderTypes();
    ArchivePacket();
    MakeDatagramText();
    size_t record_start = 0;
    if (IdentifyServer(&record_start)) WalkRecords(record_start);
    Complete();
  } catch (const PassStop&) {
    // The user chose Cancel: nothing more is stored and no COMPLETED line is
    // written, but the connection is let go so that its transaction does not
    // keep other programs out of the database.
    ReleaseConnection();
    s.LastPass.stopped = true;
  } catch (...) {
    ReleaseConnection();
    throw;
  }
}

}  // namespace tallycore
