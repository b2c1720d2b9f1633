#include "engine/SubtitleBurnIn.h"

#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "engine/StreamChoice.h"
#include "engine/TextFormat.h"

namespace kv::engine {

namespace {

std::string Escaped(const std::string& text, const char* special)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '\'' || std::strchr(special, c)) out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

std::string FilterValueText(const std::string& text)
{
    return Escaped(Escaped(text, ":="), "[],;");
}

std::string BurnInFilters(const TCustomFFmpeg& task, const AVFormatContext* oc)
{
    const TBurntSubtitle burnt = BurntSubtitle(task, oc);
    if (!burnt.Stream) return {};
    const AVFormatContext* ic = task.InputFiles[burnt.File];
    // The pictures run on the output's clock; the renderer reads the cues on the
    // subtitle file's own, so the pictures are put back on it while it draws.
    const double offset = static_cast<double>(task.InputTimeOffsets[burnt.File]) / AV_TIME_BASE;
    return Format("setpts=PTS-(%.6f)/TB,subtitles=filename=%s:si=%d,setpts=PTS+(%.6f)/TB", offset,
                  FilterValueText(ic->url ? ic->url : "").c_str(), burnt.IndexInFile, offset);
}

}  // namespace kv::engine
