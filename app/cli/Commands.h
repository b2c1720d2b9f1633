#pragma once
// The subcommands of kestravo-cli. Each lives in its own file and gets one row in
// the table of main.cpp.
#include <string>
#include <vector>

namespace kv::cli {

// Runs one subcommand on its arguments (without the subcommand's name); returns the exit status.
using TCommandProc = int (*)(const std::vector<std::string>& args);

struct TCommand {
    const char* name;
    const char* usage;
    TCommandProc run;
};

// Folder of the running executable, without a trailing separator.
std::string ExecutableFolder();

// Loads the engine's libraries from "Lib" beside the executable (or the system's);
// on failure prints the loader's message and returns false.
bool LoadEngineLibraries();

// Reads the settings file into IniOptions (never writes the remembered choices; an
// installed copy first makes the user's file ready); on failure prints why and
// returns false.
bool LoadSettings();

int ProbeCommand(const std::vector<std::string>& args);
int ProfilesCommand(const std::vector<std::string>& args);
int ConvertCommand(const std::vector<std::string>& args);
int TranscodeCommand(const std::vector<std::string>& args);
int WatchCommand(const std::vector<std::string>& args);

// The profile named by an index or a name (any case); -1 when there is none such.
int FindProfileIndex(const std::string& wanted);

}  // namespace kv::cli
