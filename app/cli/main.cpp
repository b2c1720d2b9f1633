// kestravo-cli: the command-line front end, on the same libraries as the windows.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "app/cli/Commands.h"

namespace {

const kv::cli::TCommand Commands[] = {
    {"probe", "probe FILE...", kv::cli::ProbeCommand},
    {"profiles", "profiles", kv::cli::ProfilesCommand},
    {"convert",
     "convert [--profile INDEX|NAME] [--output DIR] [--start SECONDS] [--duration SECONDS]\n"
     "                       [--aspect 4:3|16:9|37:20|47:20] [--jobs N] [--keep-folders]\n"
     "                       [--if-exists number|skip|replace] FILE|FOLDER...",
     kv::cli::ConvertCommand},
    {"watch",
     "watch DIR --profile INDEX|NAME --output DIR [--keep-folders] [--if-exists number|skip|replace]\n"
     "                       [--jobs N] [--new-only]",
     kv::cli::WatchCommand},
    {"transcode", "transcode [NAME=VALUE ...] INPUT [NAME=VALUE ...] OUTPUT", kv::cli::TranscodeCommand},
};

void PrintUsage(std::FILE* to)
{
    std::fprintf(to, "usage:\n");
    for (const auto& c : Commands) std::fprintf(to, "  kestravo-cli %s\n", c.usage);
    std::fprintf(to, "  kestravo-cli --help | --version\n");
}

int Usage()
{
    PrintUsage(stderr);
    return 2;
}

bool IsHelp(const char* arg)
{
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return Usage();
    if (IsHelp(argv[1])) {
        PrintUsage(stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("kestravo-cli (Larkspire Kestravo) %s\n", KV_VERSION);
        return 0;
    }
    for (const auto& c : Commands) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        if (argc > 2 && IsHelp(argv[2])) {
            std::printf("usage:\n  kestravo-cli %s\n", c.usage);
            return 0;
        }
        return c.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "kestravo-cli: unknown %s: %s\n", argv[1][0] == '-' ? "option" : "command", argv[1]);
    return Usage();
}
