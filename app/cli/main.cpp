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
     "                       [--aspect 4:3|16:9|37:20|47:20] [--jobs N] FILE...",
     kv::cli::ConvertCommand},
    {"transcode", "transcode [NAME=VALUE ...] INPUT [NAME=VALUE ...] OUTPUT", kv::cli::TranscodeCommand},
};

int Usage()
{
    std::fprintf(stderr, "usage:\n");
    for (const auto& c : Commands) std::fprintf(stderr, "  kestravo-cli %s\n", c.usage);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return Usage();
    for (const auto& c : Commands) {
        if (std::strcmp(argv[1], c.name) == 0) return c.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "kestravo-cli: unknown command: %s\n", argv[1]);
    return Usage();
}
