// kestravo-cli profiles: the catalogue of kestravo.ini with the entries each profile
// has selected; the remembered profile is marked with "*".
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/cli/Commands.h"
#include "workflow/IniOptions.h"

namespace kv::cli {

namespace {

std::string Selected(const std::string& list, int index)
{
    std::vector<std::string> entries;
    workflow::TIniOptions::SplitList(list, entries);
    if (index < 0 || index >= static_cast<int>(entries.size())) return "?";
    std::string entry = entries[static_cast<std::size_t>(index)];
    const std::size_t first = entry.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : entry.substr(first);
}

const char* CategoryText(int category)
{
    return category == 0 ? "audio" : category == 1 ? "video" : "other";
}

}  // namespace

int ProfilesCommand(const std::vector<std::string>& args)
{
    if (!args.empty()) {
        std::fprintf(stderr, "usage: kestravo-cli profiles\n");
        return 2;
    }
    if (!LoadSettings()) return 1;
    const workflow::TIniOptions& ini = workflow::IniOptions;
    std::printf("%-5s %-8s %-46s %s\n", "Index", "Category", "Name", "Ext");
    for (int i = 0; i < ini.FormatCount && i < static_cast<int>(ini.Formats.size()); ++i) {
        const workflow::TFormatRec& f = ini.Formats[static_cast<std::size_t>(i)];
        std::printf("%c%-4d %-8s %-46s %s\n", i == ini.OutputFormat ? '*' : ' ', i, CategoryText(f.Category),
                    f.Name.c_str(), f.Ext.c_str());
        std::string picture;
        if (f.Category == 1)
            picture = Selected(f.VideoEncoder, f.VideoEncoderValue) + ", " + Selected(f.Resolution, f.ResolutionValue) +
                      ", " + Selected(f.Framerate, f.FramerateValue) + ", " +
                      Selected(f.VideoBitRate, f.VideoBitRateValue) + "; ";
        std::printf("      %s%s, %s, %s, %s, volume %d\n", picture.c_str(),
                    Selected(f.AudioEncoder, f.AudioEncoderValue).c_str(),
                    Selected(f.SampleRate, f.SampleRateValue).c_str(),
                    Selected(f.AudioBitrate, f.AudioBitrateValue).c_str(), Selected(f.Channel, f.ChannelValue).c_str(),
                    f.Volume);
    }
    return 0;
}

}  // namespace kv::cli
