#include "client/pass_properties.h"

namespace tallycore {

void SetPassProperties(_Score_Class& engine, const PassProperties& p) {
  engine.put_ConnectionString(p.connection_string);
  engine.put_ListenPort(p.listen_port);
  engine.put_ConnectedIPAddress(p.sender_address);
  engine.put_ConnectedPortAddress(p.sender_port);
  engine.put_LogPath(p.log_path);
  engine.put_rawlog(p.rawlog);
  engine.put_UDPData(p.data);
}

void SetDatagramIdentity(_Score_Class& engine, const std::string& spool_key, uint64_t sequence) {
  com::ComPtr<IDatagramIdentity> identity;
  if (engine.QueryInterface(IID_IDatagramIdentity, reinterpret_cast<void**>(identity.Receive())) == com::S_OK)
    identity->SetIdentity(spool_key, sequence);
}

std::string PassRun::Failure() const {
  return threw ? "Error # " + std::to_string(error_number) + ": " + error : std::string();
}

PassRun RunPass(_Score_Class& engine, const PassProperties& p) {
  SetPassProperties(engine, p);
  PassRun run;
  try {
    engine.Process();
  } catch (const com::Error& e) {
    run.threw = true;
    run.error_number = e.Number();
    run.error = e.Description();
  }
  com::ComPtr<IScoreReport> report;
  if (engine.QueryInterface(IID_IScoreReport, reinterpret_cast<void**>(report.Receive())) == com::S_OK)
    run.outcome = report->LastPass();
  return run;
}

}  // namespace tallycore
