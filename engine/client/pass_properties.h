// pass_properties: the seven properties a caller sets on Score_Class before
// Process, in one place for every caller (the listener, tallyfeed, tests and
// benchmarks), and one pass run with its outcome read back.
//
// SetPassProperties puts ConnectionString, ListenPort, ConnectedIPAddress,
// ConnectedPortAddress, LogPath, rawlog and UDPData in this, the designed,
// order. It calls nothing else; failures of the property calls propagate.
// SetDatagramIdentity names the datagram for the pass (IDatagramIdentity);
// call it after SetPassProperties, before Process.
// RunPass sets them, calls Process, catches the com::Error it may throw and
// reads the engine's report of the pass.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "score_class.h"

namespace tallycore {

struct PassProperties {
  std::string connection_string;
  int32_t listen_port = 0;
  std::string sender_address;
  int32_t sender_port = 0;
  std::string log_path;   // empty: the engine's program folder
  int16_t rawlog = 0;
  std::vector<uint8_t> data;
};

void SetPassProperties(_Score_Class& engine, const PassProperties& p);
void SetDatagramIdentity(_Score_Class& engine, const std::string& spool_key, uint64_t sequence);

struct PassRun {
  bool threw = false;        // Process threw a com::Error
  int32_t error_number = 0;  // its number and description
  std::string error;
  PassOutcome outcome;       // the engine's report (empty when it has none)
  // "Error # n: description" when Process threw, else empty.
  std::string Failure() const;
};

PassRun RunPass(_Score_Class& engine, const PassProperties& p);

}  // namespace tallycore
