#include "workflow/OutputPlan.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "workflow/JobBuilder.h"

namespace kv::workflow {

namespace fs = std::filesystem;

namespace {

const char* const PartialMark = ".kestravo-part";

bool ExistsOnDisk(const std::string& path)
{
    std::error_code ec;
    // A dangling link counts as taken: the muxer would write through it.
    return fs::exists(fs::symlink_status(path, ec));
}

std::string WithSlash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

}  // namespace

bool ParseIfExists(const std::string& text, TIfExists& choice)
{
    const char* names[] = {"number", "skip", "replace"};
    for (int i = 0; i < 3; ++i)
        if (text == names[i]) {
            choice = static_cast<TIfExists>(i);
            return true;
        }
    return false;
}

TIfExists IfExistsOf(int value)
{
    return value == ieSkip || value == ieReplace ? static_cast<TIfExists>(value) : ieNumber;
}

std::string OutputFolderOf(const std::string& source, const std::string& baseFolder, const std::string& outputFolder,
                           bool keepFolders)
{
    if (!keepFolders || baseFolder.empty()) return outputFolder;
    std::error_code ec;
    const fs::path base = fs::weakly_canonical(fs::absolute(baseFolder, ec), ec);
    const fs::path parent = fs::weakly_canonical(fs::absolute(source, ec), ec).parent_path();
    const fs::path relative = parent.lexically_relative(base);
    if (ec || relative.empty()) return outputFolder;
    // Only a folder below the base is mirrored; ".." would lead out of the output folder.
    for (const fs::path& part : relative)
        if (part == "..") return outputFolder;
    if (relative == ".") return outputFolder;
    return (fs::path(outputFolder) / relative).string();
}

TOutputPlan PlanOutput(const std::string& source, const std::string& folder, const std::string& ext, TIfExists choice,
                       const std::function<bool(const std::string&)>& isUsed,
                       const std::function<bool(const std::string&)>& isSource)
{
    TOutputPlan plan;
    const std::string plain = WithSlash(folder) + fs::path(source).stem().string() + ext;
    const bool used = isUsed && isUsed(plain);
    if (choice == ieNumber || used || !ExistsOnDisk(plain)) {
        // Two files of one batch never share a name; a free name needs no choice.
        plan.Final = MakeOutputName(source, folder, ext, isUsed);
        plan.Write = plan.Final;
        return plan;
    }
    if (choice == ieSkip) {
        plan.Final = plain;
        plan.Skip = true;
        return plan;
    }
    if (isSource && isSource(plain)) {
        plan.Refusal = SourceRefusalText;
        return plan;
    }
    plan.Final = plain;
    plan.Write = PartialNameFor(plain);
    return plan;
}

std::string PartialNameFor(const std::string& final)
{
    const fs::path path(final);
    const std::string dir = WithSlash(path.parent_path().string());
    const std::string stem = "." + path.stem().string() + PartialMark;
    const std::string ext = path.extension().string();
    std::string candidate = dir + stem + ext;
    for (int counter = 1; ExistsOnDisk(candidate); ++counter) candidate = dir + stem + std::to_string(counter) + ext;
    return candidate;
}

bool IsPartialName(const std::string& path)
{
    const std::string name = fs::path(path).filename().string();
    return !name.empty() && name[0] == '.' && name.find(PartialMark) != std::string::npos;
}

bool PutInPlace(const std::string& written, const std::string& final, std::string& reason)
{
    // rename() replaces in one step: at every moment the old or the new file is there.
    if (std::rename(written.c_str(), final.c_str()) == 0) return true;
    reason = "Could not replace '" + final + "': " + std::strerror(errno);
    std::remove(written.c_str());
    return false;
}

}  // namespace kv::workflow
