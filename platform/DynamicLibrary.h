#pragma once
// Loading shared libraries at run time: the Linux side of the loader's needs.
#include <string>

namespace kv::platform {

using ModuleHandle = void*;

// Loads `fileName` from `folder` when the folder holds it, taking the libraries it
// depends on from the same folder when they are there; otherwise loads the bare
// name through the system's search order. The current directory is unchanged
// afterwards in every case. Returns null on failure (see LastLoadErrorText).
// `shareSymbols` false keeps the module's symbols out of the global scope, as
// plug-ins that all export the same names need.
ModuleHandle LoadLibraryFromFolder(const std::string& folder, const std::string& fileName,
                                   bool shareSymbols = true);

// Looks an exported name up; null when the module does not export it.
void* FindSymbol(ModuleHandle module, const char* name);

void FreeLibrary(ModuleHandle module);

// The system's text for the most recent failure of the calls above.
std::string LastLoadErrorText();

// Names of the libraries a shared object asks for (its DT_NEEDED entries), empty
// when the file is not a readable ELF object.
std::string ReadNeededLibraries(const std::string& path, char separator = '\n');

bool FileExists(const std::string& path);

// Restores the process's current directory when it leaves scope.
class CurrentDirectoryGuard {
public:
    CurrentDirectoryGuard();
    ~CurrentDirectoryGuard();
    CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
    CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

private:
    std::string saved_;
};

}  // namespace kv::platform
