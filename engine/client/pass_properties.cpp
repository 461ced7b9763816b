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

}  // namespace tallycore
