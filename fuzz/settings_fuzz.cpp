// The settings file reader on an arbitrary file: load, save, load again gives the
// same profiles and choices, and a second save leaves the file as the first left it;
// a file that could not be read (it is no text) is never saved over.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "workflow/IniFile.h"
#include "workflow/IniOptions.h"

using namespace kv;

namespace {

void CheckSame(const workflow::TIniOptions& a, const workflow::TIniOptions& b)
{
    fuzz::Check(a.FormatCount == b.FormatCount, "the profile count changed");
    for (std::size_t i = 0; i < a.Formats.size() && i < b.Formats.size(); ++i)
        fuzz::Check(a.Formats[i] == b.Formats[i], "profile " + std::to_string(i) + " changed");
    fuzz::Check(a.Formats.size() == b.Formats.size(), "the profile list changed");
    fuzz::Check(a.OutputFormat == b.OutputFormat, "the selected profile changed");
    fuzz::Check(a.OutputFolder == b.OutputFolder, "the output folder changed");
    fuzz::Check(a.SnapshotFormat == b.SnapshotFormat, "the snapshot format changed");
    fuzz::Check(a.SnapshotFolder == b.SnapshotFolder, "the snapshot folder changed");
    fuzz::Check(a.SnapshotNaming == b.SnapshotNaming, "the snapshot naming changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::WriteScratchFile("kestravo.ini", data, size);
    workflow::TIniOptions first;
    first.LoadFromFile(path);
    try {
        first.SaveToFile(path);
    } catch (const workflow::EIniFileException&) {
        fuzz::Check(fuzz::ReadWholeFile(path) == std::string(reinterpret_cast<const char*>(data), size),
                    "a file that could not be read was saved over");
        return 0;
    }
    const std::string saved = fuzz::ReadWholeFile(path);

    workflow::TIniOptions second;
    second.LoadFromFile(path);
    CheckSame(first, second);
    second.SaveToFile(path);
    fuzz::Check(fuzz::ReadWholeFile(path) == saved, "a second save changed the file");
    return 0;
}
