#include "paths.h"

#include <cstdlib>

namespace paths {

std::string DefaultProgramFolder() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
    return std::string(data) + "/tallyhost";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/share/tallyhost";
}

}  // namespace paths
