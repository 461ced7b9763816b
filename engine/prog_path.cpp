// ProgPathModule: the folder from which the engine library was registered,
// read once per process (the pass asks for it whenever LogPath is empty).
#include "program_folder.h"
#include "score_module.h"

namespace tallycore {

std::string LocateProgramFolder(const std::string& prog_id, const std::string& dll_name,
                                const std::string& default_folder) {
  return registry::RegisteredProgramFolderOnce(prog_id, dll_name, default_folder);
}

}  // namespace tallycore
