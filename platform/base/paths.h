// Folders the programs share.
#pragma once

#include <string>

namespace paths {

// The program folder used when the engine library is not registered:
// $XDG_DATA_HOME/tallyhost, else ~/.local/share/tallyhost (the variables
// read through env::Current(), empty ones as unset).
std::string DefaultProgramFolder();

}  // namespace paths
