// The default mapping: which source tracks become output streams, and how.
#include "engine/StreamChoice.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "engine/TextFormat.h"
#include "media/AVCodecStubs.h"
#include "media/AVFilterStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"

namespace kv::engine {

namespace {

struct TTrack {
    int File, Stream;
    const AVStream* St;
};

// The source tracks of one kind that a conversion may take, in file order.
std::vector<TTrack> SourceTracks(const TCustomFFmpeg& task, AVMediaType type)
{
    std::vector<TTrack> tracks;
    for (int f = 0; f < task.InputFileCount; ++f) {
        const AVFormatContext* ic = task.InputFiles[f];
        for (unsigned s = 0; ic && s < ic->nb_streams; ++s) {
            const AVStream* st = ic->streams[s];
            if (st->codecpar->codec_type != type || st->discard == AVDISCARD_ALL || IsCoverArt(st)) continue;
            tracks.push_back({f, static_cast<int>(s), st});
        }
    }
    return tracks;
}

TTrack DefaultTrack(const std::vector<TTrack>& tracks)
{
    for (const TTrack& t : tracks)
        if (t.St->disposition & AV_DISPOSITION_DEFAULT) return t;
    return tracks.front();
}

int OutputIndexOf(const TCustomFFmpeg& task, const AVFormatContext* oc)
{
    int file = task.OutputFileCount;   // the output being opened is the next one
    for (int f = 0; f < task.OutputFileCount; ++f)
        if (task.OutputFiles[f] == oc) file = f;
    return file;
}

// The stream just added to `oc` is fed by `track`.
void FeedFrom(TCustomFFmpeg& task, const AVFormatContext* oc, const TTrack& track)
{
    const int file = OutputIndexOf(task, oc);
    if (file >= MaxFiles || task.OutputStreams[file].size() != oc->nb_streams) return;
    task.OutputStreams[file].back().SourceFile = track.File;
    task.OutputStreams[file].back().SourceStream = track.Stream;
}

bool IsTextSubtitle(AVCodecID id)
{
    const AVCodecDescriptor* d = av::avcodec_descriptor_get(id);
    return d && (d->props & AV_CODEC_PROP_TEXT_SUB);
}

bool TakesAsItIs(const AVOutputFormat* format, AVCodecID id)
{
    return av::avformat_query_codec(format, id, FF_COMPLIANCE_NORMAL) == 1;
}

// The text subtitle codec a container holds: its own default, or timed text for
// the MP4 family, whose muxers name none.
AVCodecID ContainerTextCodec(const AVOutputFormat* format)
{
    if (format->subtitle_codec != AV_CODEC_ID_NONE)
        return IsTextSubtitle(format->subtitle_codec) ? format->subtitle_codec : AV_CODEC_ID_NONE;
    for (const char* name : {"mp4", "mov", "ipod", "3gp", "3g2"})
        if (std::strcmp(format->name, name) == 0) return AV_CODEC_ID_MOV_TEXT;
    return AV_CODEC_ID_NONE;
}

// How one subtitle track goes into the container: copied, converted into the
// container's text codec, or left out.
enum class TSubtitleWay { Copy, Convert, Drop };

TSubtitleWay SubtitleWay(const AVOutputFormat* format, AVCodecID id)
{
    const AVCodecID text = ContainerTextCodec(format);
    const bool matroska = std::strcmp(format->name, "matroska") == 0;
    if (IsTextSubtitle(id)) {
        if (text == AV_CODEC_ID_NONE) return TSubtitleWay::Drop;
        // Matroska keeps every text codec it knows as it is; the others take their own.
        if (id == text || (matroska && TakesAsItIs(format, id))) return TSubtitleWay::Copy;
        return TSubtitleWay::Convert;
    }
    // Pictures cannot be made into text; only Matroska players show them everywhere.
    return matroska && TakesAsItIs(format, id) ? TSubtitleWay::Copy : TSubtitleWay::Drop;
}

}  // namespace

TBurntSubtitle BurntSubtitle(const TCustomFFmpeg& task, const AVFormatContext* oc)
{
    TBurntSubtitle burnt;
    if (task.BurntSubtitleTrack < 0 || !UsesDefaultMapping(task)) return burnt;
    const std::vector<TTrack> tracks = SourceTracks(task, AVMEDIA_TYPE_SUBTITLE);
    if (task.BurntSubtitleTrack >= static_cast<int>(tracks.size())) return burnt;
    const TTrack& track = tracks[static_cast<std::size_t>(task.BurntSubtitleTrack)];
    // Only text is drawn (by the libraries' subtitle renderer), and only into pictures made anew.
    if (!IsTextSubtitle(track.St->codecpar->codec_id) || !av::avfilter_get_by_name("subtitles")) return burnt;
    const int file = OutputIndexOf(task, oc);
    bool encoded = false;
    for (unsigned s = 0; file < MaxFiles && s < oc->nb_streams && s < task.OutputStreams[file].size(); ++s)
        encoded |= oc->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !task.OutputStreams[file][s].StreamCopy;
    if (!encoded) return burnt;
    const AVFormatContext* ic = task.InputFiles[track.File];
    burnt.Stream = track.St;
    burnt.File = track.File;
    for (int s = 0; s < track.Stream; ++s)
        if (ic->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) ++burnt.IndexInFile;
    return burnt;
}

bool IsCoverArt(const AVStream* st)
{
    return st && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && (st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

bool UsesDefaultMapping(const TCustomFFmpeg& task)
{
    return task.StreamMapCount == 0 && task.ProgramID == 0;
}

bool HoldsSeveralTracks(const AVOutputFormat* format)
{
    static const char* const names[] = {"matroska", "webm", "mp4", "mov", "mpegts"};
    for (const char* name : names)
        if (std::strcmp(format->name, name) == 0) return true;
    return false;
}

void CreateSoundStreams(TCustomFFmpeg& task, AVFormatContext* oc)
{
    const std::vector<TTrack> tracks =
        UsesDefaultMapping(task) ? SourceTracks(task, AVMEDIA_TYPE_AUDIO) : std::vector<TTrack>{};
    if (tracks.empty()) {
        task.NewOutputStream(oc, AVMEDIA_TYPE_AUDIO);
        return;
    }
    if (!HoldsSeveralTracks(oc->oformat)) {
        task.NewOutputStream(oc, AVMEDIA_TYPE_AUDIO);
        const bool chosen = task.SoundTrack >= 0 && task.SoundTrack < static_cast<int>(tracks.size());
        FeedFrom(task, oc, chosen ? tracks[static_cast<std::size_t>(task.SoundTrack)] : DefaultTrack(tracks));
        return;
    }
    // Every track with the settings given for the first.
    const std::string codecName = task.AudioCodecName;
    const bool copy = task.AudioStreamCopy;
    const TBitstreamFilterChain filters = task.AudioBitstreamFilters;
    for (const TTrack& track : tracks) {
        task.AudioCodecName = codecName;
        task.AudioStreamCopy = copy;
        task.AudioBitstreamFilters = filters;
        task.NewOutputStream(oc, AVMEDIA_TYPE_AUDIO);
        FeedFrom(task, oc, track);
    }
}

void CreateSubtitleStreams(TCustomFFmpeg& task, AVFormatContext* oc, bool wanted)
{
    const bool chosen = !task.SubtitleCodecName.empty() || task.SubtitleStreamCopy || !UsesDefaultMapping(task);
    if (chosen) {
        if (wanted) task.NewOutputStream(oc, AVMEDIA_TYPE_SUBTITLE);
        return;
    }
    if (task.SubtitleDisable) return;
    const std::string language = task.SubtitleLanguage;
    const AVStream* burnt = BurntSubtitle(task, oc).Stream;
    for (const TTrack& track : SourceTracks(task, AVMEDIA_TYPE_SUBTITLE)) {
        if (track.St == burnt) continue;   // it is in the picture
        const TSubtitleWay way = SubtitleWay(oc->oformat, track.St->codecpar->codec_id);
        if (way == TSubtitleWay::Drop) continue;
        const AVCodec* encoder = av::avcodec_find_encoder(ContainerTextCodec(oc->oformat));
        if (way == TSubtitleWay::Convert && !encoder) continue;
        task.SubtitleStreamCopy = way == TSubtitleWay::Copy;
        task.SubtitleCodecName = way == TSubtitleWay::Convert ? encoder->name : "";
        task.SubtitleLanguage = language;
        task.NewOutputStream(oc, AVMEDIA_TYPE_SUBTITLE);
        FeedFrom(task, oc, track);
    }
    task.SubtitleLanguage.clear();
}

namespace {

// Language codes in file names are mostly of two letters; containers want three.
std::string LanguageOfName(const std::string& code)
{
    static const char* const codes[][2] = {
        {"ar", "ara"}, {"cs", "cze"}, {"da", "dan"}, {"de", "ger"}, {"el", "gre"}, {"en", "eng"}, {"es", "spa"},
        {"fi", "fin"}, {"fr", "fre"}, {"he", "heb"}, {"hu", "hun"}, {"it", "ita"}, {"ja", "jpn"}, {"ko", "kor"},
        {"nl", "dut"}, {"no", "nor"}, {"pl", "pol"}, {"pt", "por"}, {"ru", "rus"}, {"sv", "swe"}, {"tr", "tur"},
        {"zh", "chi"}};
    std::string lower = code;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.size() == 3 && std::all_of(lower.begin(), lower.end(), [](unsigned char c) { return std::isalpha(c); }))
        return lower;
    for (const auto& pair : codes)
        if (lower == pair[0]) return pair[1];
    return {};
}

// "film.srt" and "film.<language>.srt" beside `source`, sorted by name.
std::vector<std::filesystem::path> SideCarFiles(const std::string& source)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> found;
    const fs::path path(source);
    const std::string stem = path.stem().string();
    std::error_code ec;
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path name = it->path().filename();
        std::string ext = name.extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        if (ext != ".srt" || !it->is_regular_file(ec) || fs::equivalent(it->path(), path, ec)) continue;
        const fs::path rest = name.stem();   // "film" or "film.en"
        if (rest.string() == stem ||
            (rest.stem().string() == stem && !LanguageOfName(rest.extension().string().substr(1)).empty()))
            found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

std::vector<std::string> SideCarSubtitleFiles(const std::string& source)
{
    std::vector<std::string> names;
    for (const std::filesystem::path& file : SideCarFiles(source)) names.push_back(file.string());
    return names;
}

void OpenSideCarSubtitles(TCustomFFmpeg& task)
{
    if (!UsesDefaultMapping(task) || task.InputFileCount != 1 || task.SubtitleDisable || task.CopyTs) return;
    const AVFormatContext* film = task.InputFiles[0];
    if (!film || !film->url) return;
    std::string source = film->url;
    if (source.rfind("file:", 0) == 0) source.erase(0, 5);
    if (source.find("://") != std::string::npos) return;
    // The output's settings wait in the option state; opening an input takes some.
    const std::string names[3] = {task.VideoCodecName, task.AudioCodecName, task.SubtitleCodecName};
    const AVInputFormat* inputFormat = task.InputFormat;
    const AVOutputFormat* outputFormat = task.OutputFormat;
    const int channel = task.VideoChannel;
    const std::int64_t start = task.StartTime;
    const int totalDuration = task.TotalOutputDuration;
    // Cue times count from where the film begins to play, and move with its trim.
    const std::int64_t filmStart = film->start_time != AV_NOPTS_VALUE ? film->start_time : 0;
    const std::int64_t offset = task.InputTimeOffsets[0] + filmStart;
    for (const std::filesystem::path& file : SideCarFiles(source)) {
        if (task.InputFileCount >= MaxFiles) break;
        task.InputFormat = nullptr;
        task.StartTime = 0;
        const std::string text = file.string();
        if (!task.OpenInputFile(text)) {
            task.Log(llInfo, Format("Subtitle file '%s' not taken: %s", text.c_str(), task.LastErrorMessage.c_str()));
            continue;
        }
        const int index = task.InputFileCount - 1;
        task.InputTimeOffsets[index] = offset;
        const std::string code = file.stem().extension().string();
        const std::string language = code.empty() ? std::string() : LanguageOfName(code.substr(1));
        for (unsigned s = 0; s < task.InputFiles[index]->nb_streams; ++s)
            if (!language.empty()) av::av_dict_set(&task.InputFiles[index]->streams[s]->metadata, "language", language.c_str(), 0);
    }
    task.VideoCodecName = names[0];
    task.AudioCodecName = names[1];
    task.SubtitleCodecName = names[2];
    task.InputFormat = inputFormat;
    task.OutputFormat = outputFormat;
    task.VideoChannel = channel;
    task.StartTime = start;
    task.TotalOutputDuration = totalDuration;
}

std::vector<std::string> DroppedTrackLines(const TCustomFFmpeg& task, const AVFormatContext* oc)
{
    std::vector<std::string> lines;
    if (!UsesDefaultMapping(task)) return lines;
    int taken[2] = {0, 0};   // sound, subtitles
    for (unsigned s = 0; s < oc->nb_streams; ++s) {
        const AVMediaType type = oc->streams[s]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_AUDIO) ++taken[0];
        if (type == AVMEDIA_TYPE_SUBTITLE) ++taken[1];
    }
    const AVMediaType types[2] = {AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
    const char* kinds[2] = {"sound", "subtitle"};
    const bool disabled[2] = {task.AudioDisable, task.SubtitleDisable};
    for (int k = 0; k < 2; ++k) {
        if (disabled[k]) continue;   // left out on request
        const std::vector<TTrack> tracks = SourceTracks(task, types[k]);
        const int drawn = k == 1 && BurntSubtitle(task, oc).Stream ? 1 : 0;
        const int dropped = static_cast<int>(tracks.size()) - taken[k] - drawn;
        if (dropped <= 0) continue;
        std::string reason = taken[k] == 0 ? "the container takes none" : "the container takes one";
        if (k == 1 && ContainerTextCodec(oc->oformat) != AV_CODEC_ID_NONE) {
            const auto pictures = std::count_if(tracks.begin(), tracks.end(), [](const TTrack& t) {
                return !IsTextSubtitle(t.St->codecpar->codec_id);
            });
            reason = dropped <= pictures ? "the container takes no picture subtitles"
                                         : "the container takes none of their kind";
        }
        lines.push_back(Format("%d %s track%s not kept: %s", dropped, kinds[k], dropped == 1 ? "" : "s",
                               reason.c_str()));
    }
    return lines;
}

}  // namespace kv::engine
