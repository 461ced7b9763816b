// pass_properties: the seven properties a caller sets on Score_Class before
// Process, in one place for every caller (the listener, tallyfeed, tests and
// benchmarks).
//
// SetPassProperties puts ConnectionString, ListenPort, ConnectedIPAddress,
// ConnectedPortAddress, LogPath, rawlog and UDPData in this, the designed,
// order. It calls nothing else; failures of the property calls propagate.
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

}  // namespace tallycore
