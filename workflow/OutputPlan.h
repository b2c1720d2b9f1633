#pragma once
// Where a file's output goes: its folder (the output folder, or the same place in a
// mirror of the tree it was added with), its name, and what happens when a file of
// that name is already there. A source is never an output, whatever the choice.
#include <functional>
#include <string>

namespace kv::workflow {

// What to do when the output's name is taken on disk.
enum TIfExists : int {
    ieNumber = 0,   // "_1", "_2", ... before the extension
    ieSkip = 1,     // no conversion; the row says "Skipped: exists"
    ieReplace = 2,  // written under a temporary name, put in place once complete
};

// The choices as the window offers them, in the order of TIfExists.
inline constexpr const char* IfExistsChoices[] = {"Add a number", "Skip the file", "Replace"};

// "number", "skip", "replace" of the command line; false for anything else.
bool ParseIfExists(const std::string& text, TIfExists& choice);
// A stored value brought into the enumeration (the default for a damaged one).
TIfExists IfExistsOf(int value);

struct TOutputRules {
    TIfExists IfExists = ieNumber;
    bool KeepFolders = false;  // mirror the tree of a folder that was added
};

// The folder of a source's output: `outputFolder`, or with KeepFolders the source's
// folder relative to `baseFolder` below it. A source outside its base (or without
// one) goes into the output folder itself.
std::string OutputFolderOf(const std::string& source, const std::string& baseFolder, const std::string& outputFolder,
                           bool keepFolders);

struct TOutputPlan {
    std::string Final;    // the name the user gets
    std::string Write;    // the name the engine writes: Final, or a temporary beside it
    bool Skip = false;    // the name is taken and the choice was to skip
    std::string Refusal;  // not empty: no output for this file, for this reason
};

// The text of a refusal to write over a source.
inline constexpr const char* SourceRefusalText = "Not converted: the output would replace a source file.";

// The plan for `source` into `folder` with `ext` (with its dot). `isUsed` tells a name
// another file of the batch already has (it gets a number whatever the choice);
// `isSource` tells a path that leads to a listed source.
TOutputPlan PlanOutput(const std::string& source, const std::string& folder, const std::string& ext, TIfExists choice,
                       const std::function<bool(const std::string&)>& isUsed,
                       const std::function<bool(const std::string&)>& isSource);

// The temporary name beside `final` that a replacing conversion writes: hidden, with
// the same extension (the container is chosen by it), and free on disk.
std::string PartialNameFor(const std::string& final);
// True for a name PartialNameFor makes (a watcher leaves such files alone).
bool IsPartialName(const std::string& path);

// Puts a completed temporary output in place of `final` in one step; false with the
// reason when that fails (the temporary is then removed, `final` untouched).
bool PutInPlace(const std::string& written, const std::string& final, std::string& reason);

}  // namespace kv::workflow
