// Option state of a task: defaults, the generic option holder and its replay onto
// library contexts, the log level, and the pause gate.
#include <algorithm>
#include <cctype>
#include <utility>

#include "engine/FFmpeg.h"
#include "media/MyUtils.h"
#include "engine/FFmpegStreams.h"
#include "engine/FrameStages.h"
#include "engine/LogList.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "media/MyUtilStubs.h"
#include "media/SwScaleStubs.h"

namespace kv::engine {

namespace {

bool LibrariesLoaded()
{
    return media::FFLoader.LibsLoaded(media::EngineLibraries);
}

}  // namespace

// ---------------------------------------------------------------------------
// Generic option holder

TOptionContext::TOptionContext(int scaleFlags, std::function<void(TLogLevel)> setLogLevel)
    : SetLogLevel(std::move(setLogLevel))
{
    Allocate(scaleFlags);
}

void TOptionContext::Allocate(int scaleFlags)
{
    static constexpr AVMediaType types[MediaTypeCount] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO,
                                                          AVMEDIA_TYPE_DATA, AVMEDIA_TYPE_SUBTITLE,
                                                          AVMEDIA_TYPE_ATTACHMENT};
    for (int i = 0; i < MediaTypeCount; ++i) {
        CodecSets[i].reset(av::avcodec_alloc_context3(nullptr));
        if (!CodecSets[i]) throw FFmpegException("Could not allocate the codec option set");
        CodecSets[i]->codec_type = types[i];
    }
    FormatSet.reset(av::avformat_alloc_context());
    if (!FormatSet) throw FFmpegException("Could not allocate the container option set");
    // The scaler set only carries options: a 16 x 16 picture of format 0 to the same.
    ScalerSet.reset(av::sws_alloc_context());
    if (!ScalerSet) throw FFmpegException("Could not allocate the scaler option set");
    av::av_opt_set_int(ScalerSet, "srcw", 16, 0);
    av::av_opt_set_int(ScalerSet, "srch", 16, 0);
    av::av_opt_set_int(ScalerSet, "src_format", 0, 0);
    av::av_opt_set_int(ScalerSet, "dstw", 16, 0);
    av::av_opt_set_int(ScalerSet, "dsth", 16, 0);
    av::av_opt_set_int(ScalerSet, "dst_format", 0, 0);
    av::av_opt_set_int(ScalerSet, "sws_flags", scaleFlags, 0);
}

bool TOptionContext::WasSetOn(const std::string& name, const void* set) const
{
    return std::find(SetOn.begin(), SetOn.end(), std::make_pair(name, set)) != SetOn.end();
}

const AVOption* FindPrivateOption(const std::string& name)
{
    for (const AVClass* cls : {av::avcodec_get_class(), av::avformat_get_class()}) {
        const AVOption* o =
            av::av_opt_find(&cls, name.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
        if (o) return o;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Task life

TCustomFFmpeg::TCustomFFmpeg()
{
    ResetOptionState();
}

TCustomFFmpeg::~TCustomFFmpeg()
{
    if (LibrariesLoaded()) {
        CleanupTask();
    } else {
        // The libraries went away under the task: what they allocated can no longer be
        // freed through them, so it is left behind rather than freed through a null slot.
        (void)OptionContext.release();
        FrameHooks.Next = nullptr;
    }
}

void TCustomFFmpeg::ReleaseOptionResources()
{
    OptionContext.reset();
    IntraMatrix.clear();
    InterMatrix.clear();
    VStatsFile = nullptr;
    VStatsFileName.clear();
    VideoCodecName.clear();
    AudioCodecName.clear();
    SubtitleCodecName.clear();
    VideoStandard.clear();
    VideoRcOverride.clear();
    AudioLanguage.clear();
    SubtitleLanguage.clear();
    ReleaseFrameHooks(FrameHooks);
    FrameHooks.Next = nullptr;
    FrameHookArguments.clear();
}

void TCustomFFmpeg::ResetOptionState()
{
    if (!LibrariesLoaded()) return;
    Running = false;
    StopRequested = false;
    Finished = false;
    Terminated = false;
    RenewOptionState();
}

void TCustomFFmpeg::RenewOptionState()
{
    CleanupTask();
    static_cast<TOptionState&>(*this) = TOptionState{};
    TotalOutputDuration = -1;
    HookAction = haContinue;
    OptionContext = std::make_unique<TOptionContext>(ScaleFlags, [this](TLogLevel level) { SetLogLevel(level); });
}

void TCustomFFmpeg::SetLogLevel(TLogLevel level)
{
    Verbose = level;
    if (av::av_log_set_level) {
        av::av_log_set_level(LibraryLevel(level));
        // The log callback drops messages above the cached level before taking any lock.
        SetCachedLogLevel(av::av_log_get_level());
    }
}

void TCustomFFmpeg::Log(TLogLevel level, const std::string& text)
{
    if (!LogHandler) return;
    // A frame stage's lines reach the handler on the task's own thread.
    if (ForwardFromStage([this, level, text] {
            if (LogHandler) LogHandler->DoLog(this, level, text);
        }))
        return;
    LogHandler->DoLog(this, level, text);
}

// ---------------------------------------------------------------------------
// The generic path

bool TCustomFFmpeg::SetDefaultOption(const std::string& name, const std::string& value, int onlyType)
{
    const std::string optName = media::Trim(name);
    const std::string optValue = media::Trim(value);
    if (optName.empty() || optValue.empty() || !OptionContext) return false;
    TOptionContext& ctx = *OptionContext;

    const AVOption* found = nullptr;
    int ret = 0;
    auto setOn = [&](void* set, const AVOption* o) {
        found = o;
        ret = av::av_opt_set(set, o->name, optValue.c_str(), 0);
        if (ret >= 0) ctx.SetOn.emplace_back(o->name, set);
    };
    // A name the codec options know for a media type is set on that type's set.
    for (int type = 0; type < MediaTypeCount && ret >= 0; ++type) {
        if (onlyType >= 0 && type != onlyType) continue;
        const int flag = MediaTypeOptionFlags[type];
        if (!av::av_opt_find(ctx.CodecSets[0], optName.c_str(), nullptr, flag, 0)) continue;
        if (const AVOption* o = av::av_opt_find(ctx.CodecSets[type], optName.c_str(), nullptr, 0, 0))
            setOn(ctx.CodecSets[type], o);
    }
    auto trySet = [&](void* set, const std::string& n) {
        if (const AVOption* o = av::av_opt_find(set, n.c_str(), nullptr, 0, 0)) setOn(set, o);
    };
    if (!found && onlyType < 0) trySet(ctx.FormatSet, optName);
    if (!found && onlyType < 0) trySet(ctx.ScalerSet, optName);
    // "ab", "vb", "sxxx": the codec option without its media-type letter.
    if (!found && optName.size() > 1) {
        const std::string rest = optName.substr(1);
        const int type = optName[0] == 'a' ? AVMEDIA_TYPE_AUDIO : optName[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                       : optName[0] == 's' ? AVMEDIA_TYPE_SUBTITLE : -1;
        if (type >= 0 && (onlyType < 0 || type == onlyType)) trySet(ctx.CodecSets[type], rest);
    }
    if (found && ret < 0) {
        av::av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", optValue.c_str(),
                   optName.c_str());
        return false;
    }
    if (!found && onlyType < 0) {
        // One encoder's, decoder's or container's own option: its value is checked when
        // that codec or container opens.
        found = FindPrivateOption(optName);
        if (found) {
            AVDictionary* options = ctx.PrivateOptions.release();
            av::av_dict_set(&options, found->name, optValue.c_str(), 0);
            ctx.PrivateOptions.reset(options);
        }
    }
    if (!found) return false;
    // Remember the library's own name: a prefixed name ("vb") is replayed as the
    // option it set ("b"), which is the one the target contexts know.
    ctx.SetNames.emplace_back(found->name);
    if (ctx.CodecSets[0]->debug || ctx.FormatSet->debug) {
        if (ctx.SetLogLevel) ctx.SetLogLevel(llDebug);
    }
    return true;
}

AVDictionary* TCustomFFmpeg::PrivateOptionsForOpen()
{
    AVDictionary* copy = nullptr;
    if (OptionContext && OptionContext->PrivateOptions) av::av_dict_copy(&copy, OptionContext->PrivateOptions, 0);
    return copy;
}

void TCustomFFmpeg::NotePrivateOptionsTaken(AVDictionary*& left)
{
    if (OptionContext) {
        const AVDictionaryEntry* e = nullptr;
        std::vector<std::string>& taken = OptionContext->TakenPrivateOptions;
        while ((e = av::av_dict_get(OptionContext->PrivateOptions, "", e, AV_DICT_IGNORE_SUFFIX)))
            if (!av::av_dict_get(left, e->key, nullptr, 0) && std::find(taken.begin(), taken.end(), e->key) == taken.end())
                taken.emplace_back(e->key);
    }
    const media::DictionaryHandle taken(std::exchange(left, nullptr));
}

void TCustomFFmpeg::WarnUntakenPrivateOptions()
{
    if (!OptionContext) return;
    const std::vector<std::string>& taken = OptionContext->TakenPrivateOptions;
    const AVDictionaryEntry* e = nullptr;
    while ((e = av::av_dict_get(OptionContext->PrivateOptions, "", e, AV_DICT_IGNORE_SUFFIX)))
        if (std::find(taken.begin(), taken.end(), e->key) == taken.end())
            Log(llInfo, std::string("WARNING: no codec or container of this conversion takes the option '") + e->key + "'");
}

void TCustomFFmpeg::ApplyContextOptions(void* target, void* source, int flags)
{
    if (!OptionContext || !target || !source) return;
    for (const std::string& name : OptionContext->SetNames) {
        if (!OptionContext->WasSetOn(name, source)) continue;
        const AVOption* o = av::av_opt_find(source, name.c_str(), nullptr, 0, 0);
        if (!o || (o->flags & flags) != flags) continue;
        std::uint8_t* text = nullptr;
        const int got = av::av_opt_get(source, name.c_str(), 0, &text);
        const media::AvMemoryHandle<std::uint8_t> owned(text);
        if (got >= 0 && text) av::av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(text), 0);
    }
}

// ---------------------------------------------------------------------------
// Pause gate

void TCustomFFmpeg::WaitWhilePaused()
{
    std::unique_lock lock(PauseMutex);
    PauseChanged.wait(lock, [this] { return !Paused; });
}

void TCustomFFmpeg::SetPaused(bool paused)
{
    {
        std::lock_guard lock(PauseMutex);
        Paused = paused;
    }
    PauseChanged.notify_all();
}

bool TCustomFFmpeg::IsPaused()
{
    std::lock_guard lock(PauseMutex);
    return Paused;
}

}  // namespace kv::engine
