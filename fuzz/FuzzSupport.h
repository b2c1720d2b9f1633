#pragma once
// What every fuzz target shares: the media libraries loaded once and kept quiet, a
// scratch folder of the process for the files a target hands to code that reads
// files, and the check that turns a broken promise into a finding.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::fuzz {

// Loads the engine's libraries; ends the process when they cannot be loaded, since
// every input would then fail for a reason that is no finding.
void LoadMediaLibraries();
// Keeps the libraries' own log quiet (the option "v" and the engine turn it up).
void QuietLibraryLog();

// A folder of this process, created on first use and removed at exit.
const std::string& ScratchFolder();
// Writes `size` bytes to `name` in the scratch folder and returns the file's path.
std::string WriteScratchFile(const std::string& name, const std::uint8_t* data, std::size_t size);
std::string ScratchPath(const std::string& name);
std::string ReadWholeFile(const std::string& path);

// Reports `what` and aborts, which the fuzzer records as a finding with its input.
[[noreturn]] void Broken(const std::string& what);
inline void Check(bool condition, const std::string& what)
{
    if (!condition) Broken(what);
}

}  // namespace kv::fuzz
