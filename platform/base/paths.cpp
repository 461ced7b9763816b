#include "paths.h"

#include "env.h"

namespace paths {

std::string DefaultProgramFolder() {
  std::string data = env::VariableOr("XDG_DATA_HOME", "");
  if (!data.empty()) return data + "/tallyhost";
  return env::VariableOr("HOME", "/tmp") + "/.local/share/tallyhost";
}

}  // namespace paths
