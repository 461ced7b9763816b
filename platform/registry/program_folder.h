// program_folder: where a registered component library lives, and where the
// running program lives.
//
// RegisteredProgramFolder follows a class's registration in the registry
// stand-in (HKEY_CLASSES_ROOT\<ProgID>\Clsid gives the class id, then
// Clsid\<class id>\InprocServer32 the library's path) and cuts the path
// before the library's file name, found without regard to ASCII case. Each
// value is read as a 255-byte buffer holds it. It gives `default_folder`
// when a key or value is missing or the name is not in the path, and throws
// std::out_of_range when the path is the bare name (no folder to cut).
// It reads the registry on every call. RegisteredProgramFolderOnce gives the
// same answer read once per process for each registry root (registry.h) and
// set of arguments: registration changed later is seen after a restart.
//
// RunningProgramFolder is the folder of the running executable, read once
// per process ("/" for a program at the root, "." when it cannot be read).
//
// Thread-safe.
#pragma once

#include <string>

namespace registry {

std::string RegisteredProgramFolder(const std::string& prog_id, const std::string& library_name,
                                    const std::string& default_folder);

std::string RegisteredProgramFolderOnce(const std::string& prog_id,
                                        const std::string& library_name,
                                        const std::string& default_folder);

std::string RunningProgramFolder();

}  // namespace registry
