// Writes the short, deterministic clips the tests and the demo use.
//   make_test_media OUTDIR [--bench]
//   make_test_media OUTDIR --seeds    (only the tiny clips that seed the media fuzz targets)
// Every clip is described by one row of the table below; a clip already present is
// kept (files are written under a temporary name and renamed when complete), so
// repeated runs are cheap. Fixed patterns, a fixed random seed and the libraries'
// bit-exact flags make repeated runs produce identical files.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

enum class Kind { Media, RandomBytes, Empty, Text };

struct SoundTrack {
    const char* language = nullptr;
    const char* title = nullptr;
    bool isDefault = false;
};

struct TextTrack {
    AVCodecID codec = AV_CODEC_ID_SUBRIP;
    const char* language = nullptr;
    bool box = false;   // each cue a white box over the picture's top half instead of words
};

struct Chapter {
    int64_t startMs, endMs;
    const char* title;
};

// Two cues, 0.2-0.8 s and 1.0-1.6 s, the same for every subtitle clip.
constexpr const char* SideCarSrt =
    "1\n00:00:00,200 --> 00:00:00,800\nFirst cue\n\n2\n00:00:01,000 --> 00:00:01,600\nSecond cue\n\n";

struct Clip {
    const char* name;
    Kind kind = Kind::Media;
    const char* format = nullptr;  // muxer short name
    // Video; no video when vcodec is null.
    const char* vcodec = nullptr;
    int width = 320, height = 240;
    AVPixelFormat pixfmt = AV_PIX_FMT_YUV420P;
    AVRational fps{25, 1};
    AVRational sar{1, 1};
    int vframes = 0;
    double vstart = 0;  // seconds before the first picture
    int64_t vbitrate = 300000;
    int gop = 12;
    // Audio; no audio when acodec is null.
    const char* acodec = nullptr;
    int rate = 44100;
    int channels = 2;
    int64_t asamples = 0;
    double astart = 0;
    int64_t abitrate = 128000;
    bool subtitles = false;  // two SubRip cues
    std::vector<std::pair<const char*, const char*>> tags;
    double jumpSeconds = 0;  // added to every time stamp from the middle on
    double keepFraction = 1;  // < 1: the file is cut to this share of its size
    bool bench = false;       // only with --bench
    bool flashBeep = false;   // the flash-and-beep pattern instead of the moving box and tones
    void (*fill)(AVFrame*, int64_t) = nullptr;  // pictures other than the moving pattern
    bool seed = false;        // only with --seeds
    bool pictureDurations = false;  // packets carry their picture's duration, as cameras write them
    bool hdr = false;         // BT.2020 colours with the PQ transfer, as HDR cameras tag them
    // Several sound tracks (each a tone of its own) instead of one; acodec and the
    // audio fields above describe every one of them.
    std::vector<SoundTrack> soundTracks;
    bool channelSweep = false;   // the tone in one channel at a time, 0.5 s each
    bool cover = false;          // an attached picture (JPEG cover art)
    std::vector<TextTrack> textTracks;   // subtitle tracks with their own codec and cues
    std::vector<Chapter> chapters;
    const char* text = nullptr;  // a plain text file (a side-car subtitle file) instead of media
    // Pictures of phones, cameras and archives.
    int clockwise = 0;        // display matrix: turned this far clockwise when shown...
    bool mirror = false;      // ...and then mirrored
    // The pictures drawn at the shown (upright) size and stored turned back, so that a
    // twin stored upright shows the same pictures. Quarter turns only.
    bool drawnUpright = false;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;   // colour tags written with the pictures
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    bool interlaced = false;  // coded as top-field-first interlaced pictures
    int bframes = 0;          // B-frames between references (encoders other than libx264)
    bool variableRate = false;   // the picture's rate changes as a phone's does (VariableRatePts)
};

const std::vector<Clip>& Clips()
{
    static const std::vector<Clip> clips = {
        {.name = "avi_mpeg4_mp2.avi", .format = "avi", .vcodec = "mpeg4", .vframes = 50,
         .acodec = "mp2", .asamples = 88200},
        {.name = "mp4_h264_aac.mp4", .format = "mp4", .vcodec = "libx264", .vframes = 50,
         .acodec = "aac", .asamples = 88200},
        {.name = "mkv_subtitle.mkv", .format = "matroska", .vcodec = "mpeg4", .vframes = 50,
         .acodec = "mp2", .asamples = 88200, .subtitles = true},
        {.name = "wav_pcm.wav", .format = "wav", .acodec = "pcm_s16le", .asamples = 88200},
        {.name = "mp3_tagged.mp3", .format = "mp3", .acodec = "libmp3lame", .asamples = 88200,
         .tags = {{"title", "Kestravo Tone"}, {"artist", "Larkspire"}, {"album", "Test Album"}}},
        // 27 pictures of 37 ms and 47952 samples at 48 kHz: both last exactly 0.999 s.
        {.name = "short_0999ms.avi", .format = "avi", .vcodec = "mpeg4", .fps = {1000, 37}, .vframes = 27,
         .acodec = "pcm_s16le", .rate = 48000, .channels = 1, .asamples = 47952},
        {.name = "pal_16x15.avi", .format = "avi", .vcodec = "mpeg4", .width = 720, .height = 576,
         .sar = {16, 15}, .vframes = 13, .vbitrate = 800000},
        {.name = "ts_jump.ts", .format = "mpegts", .vcodec = "mpeg2video", .vframes = 50,
         .acodec = "mp2", .asamples = 88200, .jumpSeconds = 20},
        // Three picture durations missing after the 25th picture.
        {.name = "gap_160x120.mkv", .format = "matroska", .vcodec = "mpeg4", .width = 160, .height = 120,
         .vframes = 50, .jumpSeconds = 0.12},
        {.name = "audio_late.mkv", .format = "matroska", .vcodec = "mpeg4", .vframes = 50,
         .acodec = "mp2", .asamples = 66150, .astart = 0.5},
        {.name = "audio_early.mkv", .format = "matroska", .vcodec = "mpeg4", .vframes = 38,
         .vstart = 0.5, .acodec = "mp2", .asamples = 88200},
        {.name = "truncated.mp4", .format = "mp4", .vcodec = "libx264", .vframes = 50,
         .acodec = "aac", .asamples = 88200, .keepFraction = 0.5},
        {.name = "truncated.avi", .format = "avi", .vcodec = "mpeg4", .vframes = 50,
         .acodec = "mp2", .asamples = 88200, .keepFraction = 0.4},
        // 4 s at 30 fps: white flashes and beeps of 0.2 s at 1.0 s and 3.0 s, a key frame
        // every second.
        {.name = "flash_beep.mp4", .format = "mp4", .vcodec = "libx264", .fps = {30, 1}, .vframes = 120,
         .gop = 30, .acodec = "aac", .asamples = 176400, .flashBeep = true},
        {.name = "flash_beep.mkv", .format = "matroska", .vcodec = "libx264", .fps = {30, 1}, .vframes = 120,
         .gop = 30, .acodec = "flac", .rate = 48000, .asamples = 192000, .flashBeep = true},
        {.name = "flash_beep.avi", .format = "avi", .vcodec = "mjpeg", .fps = {30, 1}, .vframes = 120,
         .gop = 30, .acodec = "pcm_s16le", .rate = 22050, .channels = 1, .asamples = 88200, .flashBeep = true},
        // Ten hours missing after the third picture.
        {.name = "gap_10h.mkv", .format = "matroska", .vcodec = "libx264", .width = 64, .height = 48,
         .vframes = 6, .jumpSeconds = 36000},
        // The smallest clip a batch admits (just over one second): long batches of it stay quick.
        {.name = "tiny_64x48.avi", .format = "avi", .vcodec = "mpeg4", .width = 64, .height = 48, .fps = {5, 1},
         .vframes = 6, .vbitrate = 50000, .acodec = "pcm_s16le", .rate = 8000, .channels = 1, .asamples = 9600},
        // Long enough to be stopped, cancelled or killed halfway through its conversion.
        {.name = "long_320x240.avi", .format = "avi", .vcodec = "mpeg4", .vframes = 1000, .acodec = "mp2",
         .rate = 22050, .channels = 1, .asamples = 882000},
        {.name = "random.bin", .kind = Kind::RandomBytes},
        {.name = "empty.avi", .kind = Kind::Empty},
        {.name = "bench_720p.mp4", .format = "mp4", .vcodec = "libx264", .width = 1280, .height = 720,
         .fps = {30, 1}, .vframes = 600, .vbitrate = 2000000, .acodec = "aac", .asamples = 882000,
         .bench = true},
        // Seeds of the media fuzz targets: a few pictures and sounds in each container,
        // small enough for the fuzzer to change every byte often.
        {.name = "seed_mpeg4_mp2.avi", .format = "avi", .vcodec = "mpeg4", .width = 64, .height = 48,
         .vframes = 5, .acodec = "mp2", .asamples = 4608, .seed = true},
        {.name = "seed_h264_aac.mp4", .format = "mp4", .vcodec = "libx264", .width = 64, .height = 48,
         .vframes = 5, .acodec = "aac", .channels = 1, .asamples = 4096, .seed = true},
        {.name = "seed_subtitle.mkv", .format = "matroska", .vcodec = "mpeg4", .width = 64, .height = 48,
         .vframes = 5, .acodec = "mp2", .channels = 1, .asamples = 2304, .subtitles = true, .seed = true},
        {.name = "seed_jump.ts", .format = "mpegts", .vcodec = "mpeg2video", .width = 64, .height = 48,
         .vframes = 6, .acodec = "mp2", .channels = 1, .asamples = 4608, .jumpSeconds = 20, .seed = true},
        {.name = "seed_gap_1h.mkv", .format = "matroska", .vcodec = "libx264", .width = 64, .height = 48,
         .vframes = 6, .acodec = "mp2", .channels = 1, .asamples = 4608, .jumpSeconds = 3600, .seed = true},
        {.name = "seed_flv1_mp3.flv", .format = "flv", .vcodec = "flv", .width = 64, .height = 48,
         .vframes = 5, .acodec = "libmp3lame", .rate = 22050, .channels = 1, .asamples = 2304, .seed = true},
        {.name = "seed_pcm.wav", .format = "wav", .acodec = "pcm_s16le", .rate = 8000, .channels = 1,
         .asamples = 800, .seed = true},
        {.name = "seed_tagged.mp3", .format = "mp3", .acodec = "libmp3lame", .rate = 22050, .channels = 1,
         .asamples = 2304, .tags = {{"title", "Seed"}, {"artist", "Larkspire"}, {"date", "2009"}}, .seed = true},
        {.name = "seed_truncated.avi", .format = "avi", .vcodec = "mpeg4", .width = 64, .height = 48,
         .vframes = 8, .acodec = "mp2", .asamples = 4608, .keepFraction = 0.6, .seed = true},
    };
    return clips;
}

// ---------------------------------------------------------------------------
// Clips of other programs' pixel formats and tags: sources the encoders must not
// pass on unchanged (4:4:4, 4:2:2, 10-bit, full range) and a fully tagged song.

const std::vector<Clip>& SourceFormatClips()
{
    static const std::vector<Clip> clips = {
        {.name = "h264_444p10.mkv", .format = "matroska", .vcodec = "libx264", .width = 176, .height = 144,
         .pixfmt = AV_PIX_FMT_YUV444P10LE, .vframes = 10},
        {.name = "mjpeg_422.avi", .format = "avi", .vcodec = "mjpeg", .width = 176, .height = 144,
         .pixfmt = AV_PIX_FMT_YUVJ422P, .vframes = 10, .vbitrate = 2000000},
        {.name = "mjpeg_444.avi", .format = "avi", .vcodec = "mjpeg", .width = 176, .height = 144,
         .pixfmt = AV_PIX_FMT_YUVJ444P, .vframes = 10, .vbitrate = 2000000},
        {.name = "mp3_all_tags.mp3", .format = "mp3", .acodec = "libmp3lame", .asamples = 44100,
         .tags = {{"title", "Kestravo Tone"}, {"artist", "Larkspire"}, {"album", "Test Album"},
                  {"date", "2009"}, {"track", "7"}, {"genre", "Ambient"}, {"comment", "made for the tests"}}},
        {.name = "bench_720p_444p10.mkv", .format = "matroska", .vcodec = "libx264", .width = 1280, .height = 720,
         .pixfmt = AV_PIX_FMT_YUV444P10LE, .fps = {30, 1}, .vframes = 600, .vbitrate = 2000000, .acodec = "aac",
         .asamples = 882000, .bench = true},
    };
    return clips;
}

// ---------------------------------------------------------------------------
// Clips of everything besides one picture and one sound a user keeps: several sound
// tracks, surround, subtitle tracks and side-car files, chapters, cover art, tags.

// A uniform dark grey picture (studio-range luma 40), for drawings laid over it.
void FillDark(AVFrame* f, int64_t)
{
    for (int plane = 0; plane < 3; ++plane) {
        const int h = plane ? f->height / 2 : f->height, w = plane ? f->width / 2 : f->width;
        for (int y = 0; y < h; ++y) std::memset(f->data[plane] + y * f->linesize[plane], plane ? 128 : 40, size_t(w));
    }
}

const std::vector<Clip>& KeepEverythingClips()
{
    static const std::vector<Clip> clips = {
        // The second sound track is the one marked default.
        {.name = "two_languages.mkv", .format = "matroska", .vcodec = "mpeg4", .vframes = 50, .acodec = "mp2",
         .asamples = 88200, .tags = {{"title", "Two Languages"}},
         .soundTracks = {{"eng", "English", false}, {"fre", "Commentaire", true}}},
        // Recorded on a day of its own, as a phone's films are.
        {.name = "two_languages.mp4", .format = "mp4", .vcodec = "mpeg4", .vframes = 50, .acodec = "aac",
         .asamples = 88200, .tags = {{"creation_time", "2019-05-04T10:20:30.000000Z"}}, .soundTracks = {{"eng", "English", true}, {"ger", "Deutsch", false}}},
        // Lossless, so that the level of every channel can be read back exactly.
        {.name = "surround_51.mkv", .format = "matroska", .acodec = "flac", .rate = 48000, .channels = 6,
         .asamples = 144000, .channelSweep = true},
        {.name = "surround_71.mkv", .format = "matroska", .acodec = "flac", .rate = 48000, .channels = 8,
         .asamples = 192000, .channelSweep = true},
        {.name = "subtitles_chapters.mkv", .format = "matroska", .vcodec = "mpeg4", .vframes = 50, .acodec = "mp2",
         .asamples = 88200,
         .textTracks = {{AV_CODEC_ID_SUBRIP, "eng"}, {AV_CODEC_ID_ASS, "fre"}},
         .chapters = {{0, 700, "Opening"}, {700, 1400, "Middle"}, {1400, 2000, "End"}}},
        {.name = "timed_text.mp4", .format = "mp4", .vcodec = "mpeg4", .vframes = 50, .acodec = "aac",
         .asamples = 88200, .textTracks = {{AV_CODEC_ID_MOV_TEXT, "eng"}},
         .chapters = {{0, 1000, "One"}, {1000, 2000, "Two"}}},
        {.name = "sidecar.avi", .format = "avi", .vcodec = "mpeg4", .vframes = 50, .acodec = "mp2", .asamples = 88200},
        {.name = "sidecar.srt", .kind = Kind::Text, .text = SideCarSrt},
        {.name = "sidecar_lang.avi", .format = "avi", .vcodec = "mpeg4", .vframes = 50, .acodec = "mp2",
         .asamples = 88200},
        {.name = "sidecar_lang.en.srt", .kind = Kind::Text, .text = SideCarSrt},
        // A dark picture and white boxes over its top half from 0.2 to 0.8 s and 1.0 to 1.6 s,
        // on a track of drawings and on one of words.
        {.name = "box_cues.mkv", .format = "matroska", .vcodec = "mpeg4", .vframes = 50, .acodec = "mp2",
         .asamples = 88200, .fill = FillDark,
         .textTracks = {{AV_CODEC_ID_SUBRIP, "eng"}, {AV_CODEC_ID_ASS, "zxx", true}}},
        {.name = "dvd_subtitles.mkv", .format = "matroska", .vcodec = "mpeg4", .vframes = 50, .acodec = "mp2",
         .asamples = 88200, .textTracks = {{AV_CODEC_ID_DVD_SUBTITLE, "eng"}, {AV_CODEC_ID_SUBRIP, "fre"}}},
        {.name = "cover.mp3", .format = "mp3", .acodec = "libmp3lame", .asamples = 88200,
         .tags = {{"title", "Covered"}, {"artist", "Larkspire"}, {"album", "Pictures"}, {"date", "2011"},
                  {"track", "3"}, {"genre", "Ambient"}},
         .cover = true},
        {.name = "cover.flac", .format = "flac", .acodec = "flac", .asamples = 88200,
         .tags = {{"TITLE", "Covered"}, {"ARTIST", "Larkspire"}, {"ALBUM", "Pictures"}, {"DATE", "2011"},
                  {"TRACKNUMBER", "3"}, {"GENRE", "Ambient"}, {"COMMENT", "kept in every copy"}},
         .cover = true},
    };
    return clips;
}

void Check(int ret, const char* what)
{
    if (ret < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(ret, text, sizeof text);
        throw std::runtime_error(std::string(what) + ": " + text);
    }
}

bool Exists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) throw std::runtime_error("cannot write " + path);
}

// One encoder feeding one stream of the output.
struct Track {
    AVCodecContext* enc = nullptr;
    AVStream* st = nullptr;
    AVFrame* frame = nullptr;
    int64_t next = 0;   // next frame's position: picture number or sample number
    int64_t total = 0;  // pictures or samples to produce
    int64_t offset = 0; // start offset in encoder time base units
    int64_t jumpAt = -1, jump = 0;
    bool sound = false;
    bool variableRate = false;   // pictures at a phone's changing rate (VariableRatePts)
    double toneShift = 0;   // Hz added to the tones, so that sound tracks differ
    AVFrame* upright = nullptr;   // the picture as shown, before it is stored turned

    ~Track()
    {
        av_frame_free(&upright);
        av_frame_free(&frame);
        avcodec_free_context(&enc);
    }
    bool Done() const { return next >= total; }
    int64_t NextPts() const;
    double NextSeconds() const { return double(NextPts()) * av_q2d(enc->time_base); }
};

// A phone in changing light: 30 fps for two seconds, then 15 fps, every other picture
// a tick late, in the 1/600 s time base such phones write.
constexpr AVRational VariableRateTimeBase{1, 600};

int64_t VariableRatePts(int64_t i)
{
    const int64_t onTime = i < 60 ? i * 20 : 1200 + (i - 60) * 40;
    return onTime + (i % 2);
}

// The duration of the picture at `pts` (VariableRatePts of some picture).
int64_t VariableRateDuration(int64_t pts)
{
    const int64_t i = pts < 1200 ? pts / 20 : 60 + (pts - 1200) / 40;
    return VariableRatePts(i + 1) - VariableRatePts(i);
}

int64_t Track::NextPts() const
{
    const int64_t at = variableRate ? VariableRatePts(next) : next;
    return at + offset + (jumpAt >= 0 && next >= jumpAt ? jump : 0);
}

// One sample of a plane; pictures deeper than 8 bits hold 16-bit samples.
void PutSample(AVFrame* f, int plane, int x, int y, int value, int depth)
{
    uint8_t* row = f->data[plane] + y * f->linesize[plane];
    if (depth > 8)
        reinterpret_cast<uint16_t*>(row)[x] = uint16_t(value << (depth - 8));
    else
        row[x] = uint8_t(value);
}

void FillPicture(AVFrame* f, int64_t i)
{
    Check(av_frame_make_writable(f), "picture buffer");
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    const int depth = d->comp[0].depth;
    const int w = f->width, h = f->height;
    const int bx = int((i * 6) % (w - 40)), by = int((i * 3) % (h - 40));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool box = x >= bx && x < bx + 40 && y >= by && y < by + 40;
            PutSample(f, 0, x, y, box ? 235 : int(16 + ((x + 2 * y + 4 * i) % 200)), depth);
        }
    const int cw = AV_CEIL_RSHIFT(w, d->log2_chroma_w), ch = AV_CEIL_RSHIFT(h, d->log2_chroma_h);
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            PutSample(f, 1, x, y, int(64 + ((2 * x + 3 * i) & 127)), depth);
            PutSample(f, 2, x, y, int(64 + ((2 * y + i) & 127)), depth);
        }
}

// Stores `shown` into `stored` so that turning `stored` `clockwise` degrees (a quarter
// turn, as the display matrix says) shows it again; 4:2:0 of 8 or more bits.
void StoreTurnedBack(const AVFrame* shown, AVFrame* stored, int clockwise)
{
    Check(av_frame_make_writable(stored), "picture buffer");
    const int bytes = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(stored->format))->comp[0].depth > 8 ? 2 : 1;
    for (int p = 0; p < 3; ++p) {
        const int w = p ? stored->width / 2 : stored->width, h = p ? stored->height / 2 : stored->height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                // A clockwise turn takes stored (x, y) to shown (h - 1 - y, x).
                const int sx = clockwise == 90 ? h - 1 - y : y, sy = clockwise == 90 ? x : w - 1 - x;
                std::memcpy(stored->data[p] + y * stored->linesize[p] + x * bytes,
                            shown->data[p] + sy * shown->linesize[p] + sx * bytes, bytes);
            }
    }
}

// Sample `n` of channel `c` of a sound frame, `v` in -1 .. 1.
void StoreSample(AVFrame* f, int n, int c, double v)
{
    const auto fmt = static_cast<AVSampleFormat>(f->format);
    const bool planar = av_sample_fmt_is_planar(fmt);
    const int plane = planar ? c : 0;
    const int at = planar ? n : n * f->ch_layout.nb_channels + c;
    switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_S16: reinterpret_cast<int16_t*>(f->data[plane])[at] = int16_t(v * 32767); break;
    case AV_SAMPLE_FMT_S32: reinterpret_cast<int32_t*>(f->data[plane])[at] = int32_t(v * 2147483647.0); break;
    case AV_SAMPLE_FMT_FLT: reinterpret_cast<float*>(f->data[plane])[at] = float(v); break;
    default: throw std::runtime_error("unexpected sample format");
    }
}

void FillSound(AVFrame* f, int64_t first, int rate, double toneShift = 0)
{
    Check(av_frame_make_writable(f), "sound buffer");
    for (int n = 0; n < f->nb_samples; ++n) {
        for (int c = 0; c < f->ch_layout.nb_channels; ++c) {
            const double tone = 440.0 * (1 + 0.5 * c) + toneShift;
            StoreSample(f, n, c, 0.3 * std::sin(2 * M_PI * tone * double(first + n) / rate));
        }
    }
}

// ---------------------------------------------------------------------------
// Flash-and-beep clips: a dark picture that turns white and a silence that beeps at
// the same moments, so that a reader of a converted file finds where picture and
// sound put them.

constexpr double FlashBeepAt[] = {1.0, 3.0};   // seconds
constexpr double FlashBeepLength = 0.2;

bool FlashBeepOn(double seconds)
{
    for (double at : FlashBeepAt)
        if (seconds >= at - 1e-9 && seconds < at + FlashBeepLength - 1e-9) return true;
    return false;
}

void FillFlashPicture(AVFrame* f, double seconds)
{
    Check(av_frame_make_writable(f), "picture buffer");
    const uint8_t luma = FlashBeepOn(seconds) ? 235 : 32;
    for (int y = 0; y < f->height; ++y) std::memset(f->data[0] + y * f->linesize[0], luma, f->width);
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < f->height / 2; ++y) std::memset(f->data[p] + y * f->linesize[p], 128, f->width / 2);
}

void FillBeepSound(AVFrame* f, int64_t first, int rate)
{
    Check(av_frame_make_writable(f), "sound buffer");
    for (int n = 0; n < f->nb_samples; ++n) {
        const double t = double(first + n) / rate;
        const double v = FlashBeepOn(t) ? 0.5 * std::sin(2 * M_PI * 1000.0 * t) : 0.0;
        for (int c = 0; c < f->ch_layout.nb_channels; ++c) StoreSample(f, n, c, v);
    }
}

// ---------------------------------------------------------------------------

// Set while a clip whose packets carry their picture's duration is written.
bool WritingPictureDurations = false;
// Set while a Matroska or WebM clip is written.
bool WritingCodecDelayTrack = false;

void Drain(AVFormatContext* oc, Track& t, AVPacket* pkt)
{
    for (;;) {
        const int ret = avcodec_receive_packet(t.enc, pkt);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
        Check(ret, "encode");
        if (WritingPictureDurations && t.enc->codec_type == AVMEDIA_TYPE_VIDEO && pkt->duration == 0) pkt->duration = 1;
        // Phones write each picture's own duration; without it the last one would have none.
        if (t.variableRate) pkt->duration = VariableRateDuration(pkt->pts);
        // Matroska writers (browsers, phones) start Opus blocks at 0 and say the
        // encoder's delay as the track's codec delay, which readers take off again.
        if (WritingCodecDelayTrack && t.enc->codec_id == AV_CODEC_ID_OPUS && t.enc->initial_padding > 0) {
            pkt->pts += t.enc->initial_padding;
            pkt->dts += t.enc->initial_padding;
        }
        av_packet_rescale_ts(pkt, t.enc->time_base, t.st->time_base);
        pkt->stream_index = t.st->index;
        Check(av_interleaved_write_frame(oc, pkt), "write packet");
    }
}

void Encode(AVFormatContext* oc, Track& t, AVFrame* frame, AVPacket* pkt)
{
    Check(avcodec_send_frame(t.enc, frame), "send frame");
    Drain(oc, t, pkt);
}

AVCodecContext* OpenEncoder(const char* name)
{
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec) throw std::runtime_error(std::string("encoder not available: ") + name);
    AVCodecContext* enc = avcodec_alloc_context3(codec);
    enc->flags |= AV_CODEC_FLAG_BITEXACT;
    enc->thread_count = 1;  // threaded encoders need not be deterministic
    return enc;
}

void Finish(AVFormatContext* oc, AVCodecContext* enc)
{
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
}

// A 1 kHz tone at half of full scale in channel n during [0.5 n, 0.5 n + 0.5) s,
// silence elsewhere: a reader finds where each source channel went.
void FillChannelSweep(AVFrame* f, int64_t first, int rate)
{
    Check(av_frame_make_writable(f), "sound buffer");
    for (int n = 0; n < f->nb_samples; ++n) {
        const double t = double(first + n) / rate;
        const int on = int(t / 0.5);
        for (int c = 0; c < f->ch_layout.nb_channels; ++c)
            StoreSample(f, n, c, c == on ? 0.5 * std::sin(2 * M_PI * 1000.0 * t) : 0.0);
    }
}

// A 64 x 64 JPEG picture in a stream marked as the file's cover.
AVPacket* EncodeCover(AVFormatContext* oc, AVStream*& st)
{
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> enc(OpenEncoder("mjpeg"),
                                                                     [](AVCodecContext* e) { avcodec_free_context(&e); });
    enc->width = enc->height = 64;
    enc->pix_fmt = AV_PIX_FMT_YUVJ420P;
    enc->time_base = {1, 25};
    Check(avcodec_open2(enc.get(), nullptr, nullptr), "open cover encoder");
    AVFrame* frame = av_frame_alloc();
    frame->format = enc->pix_fmt;
    frame->width = frame->height = 64;
    Check(av_frame_get_buffer(frame, 0), "cover buffer");
    FillPicture(frame, 0);
    frame->pts = 0;
    AVPacket* pkt = av_packet_alloc();
    int ret = avcodec_send_frame(enc.get(), frame);
    if (ret >= 0) ret = avcodec_send_frame(enc.get(), nullptr);
    if (ret >= 0) ret = avcodec_receive_packet(enc.get(), pkt);
    av_frame_free(&frame);
    if (ret < 0) av_packet_free(&pkt);
    Check(ret, "encode cover");
    st = avformat_new_stream(oc, nullptr);
    Check(avcodec_parameters_from_context(st->codecpar, enc.get()), "cover parameters");
    st->disposition = AV_DISPOSITION_ATTACHED_PIC;
    st->time_base = {1, 90000};
    pkt->pts = pkt->dts = 0;
    pkt->flags |= AV_PKT_FLAG_KEY;
    return pkt;
}

// The style header the text subtitle encoders start from.
constexpr const char* AssHeader =
    "[Script Info]\r\nScriptType: v4.00+\r\nPlayResX: 384\r\nPlayResY: 288\r\n\r\n"
    "[V4+ Styles]\r\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
    "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, "
    "Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\r\n"
    "Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0\r\n\r\n"
    "[Events]\r\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\r\n";

std::pair<AVStream*, std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)>> OpenTextTrack(AVFormatContext* oc,
                                                                                               const TextTrack& t)
{
    const AVCodec* codec = avcodec_find_encoder(t.codec);
    if (!codec) throw std::runtime_error("subtitle encoder not available");
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> enc(avcodec_alloc_context3(codec),
                                                                     [](AVCodecContext* e) { avcodec_free_context(&e); });
    enc->time_base = {1, 1000};
    enc->width = 720, enc->height = 576;   // the frame picture subtitles are placed in
    const std::size_t size = std::strlen(AssHeader);
    enc->subtitle_header = static_cast<uint8_t*>(av_mallocz(size + 1));
    std::memcpy(enc->subtitle_header, AssHeader, size);
    enc->subtitle_header_size = int(size);
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Check(avcodec_open2(enc.get(), codec, nullptr), "open subtitle encoder");
    AVStream* st = avformat_new_stream(oc, nullptr);
    Check(avcodec_parameters_from_context(st->codecpar, enc.get()), "subtitle parameters");
    st->time_base = {1, 1000};
    if (t.language) av_dict_set(&st->metadata, "language", t.language, 0);
    return {st, std::move(enc)};
}

// An ASS drawing filling the top half of the script's 384 x 288 frame.
constexpr const char* BoxCue = "{\\an7\\pos(0,0)\\bord0\\shad0\\p1}m 0 0 l 384 0 384 144 0 144{\\p0}";

// The two cues of SideCarSrt through the track's encoder.
void WriteCues(AVFormatContext* oc, AVStream* st, AVCodecContext* enc, AVPacket* pkt, bool box)
{
    const struct { int64_t at, length; const char* text; } cues[] = {{200, 600, box ? BoxCue : "First cue"},
                                                                     {1000, 600, box ? BoxCue : "Second cue"}};
    int order = 0;
    // Picture subtitles: a 32 x 16 bar of the second of four colours.
    std::vector<uint8_t> indices(32 * 16, 1);
    const uint32_t palette[4] = {0x00000000, 0xffffffff, 0xff000000, 0xff808080};
    const AVCodecDescriptor* kind = avcodec_descriptor_get(enc->codec_id);
    const bool bitmap = kind && (kind->props & AV_CODEC_PROP_BITMAP_SUB);
    for (const auto& cue : cues) {
        const std::string event = std::to_string(order++) + ",0,Default,,0,0,0,," + cue.text;
        AVSubtitleRect rect{};
        rect.type = SUBTITLE_ASS;
        rect.ass = const_cast<char*>(event.c_str());
        if (bitmap) {
            rect = {};
            rect.type = SUBTITLE_BITMAP;
            rect.x = 100, rect.y = 200, rect.w = 32, rect.h = 16, rect.nb_colors = 4;
            rect.data[0] = indices.data();
            rect.linesize[0] = 32;
            rect.data[1] = reinterpret_cast<uint8_t*>(const_cast<uint32_t*>(palette));
            rect.linesize[1] = 4 * 4;
        }
        AVSubtitleRect* rects[] = {&rect};
        AVSubtitle sub{};
        sub.num_rects = 1;
        sub.rects = rects;
        sub.end_display_time = uint32_t(cue.length);
        sub.pts = cue.at * 1000;
        uint8_t buffer[1024];
        const int size = avcodec_encode_subtitle(enc, buffer, sizeof buffer, &sub);
        Check(size, "encode subtitle");
        Check(av_new_packet(pkt, size), "subtitle packet");
        std::memcpy(pkt->data, buffer, size_t(size));
        pkt->pts = pkt->dts = av_rescale_q(cue.at, {1, 1000}, st->time_base);
        pkt->duration = av_rescale_q(cue.length, {1, 1000}, st->time_base);
        pkt->stream_index = st->index;
        pkt->flags |= AV_PKT_FLAG_KEY;
        Check(av_interleaved_write_frame(oc, pkt), "write subtitle");
    }
}

void AddChapter(AVFormatContext* oc, const Chapter& c)
{
    auto* ch = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (!ch) throw std::runtime_error("no memory for a chapter");
    ch->id = oc->nb_chapters + 1;
    ch->time_base = {1, 1000};
    ch->start = c.startMs;
    ch->end = c.endMs;
    av_dict_set(&ch->metadata, "title", c.title, 0);
    Check(av_dynarray_add_nofree(&oc->chapters, reinterpret_cast<int*>(&oc->nb_chapters), ch), "add chapter");
}

void WriteMedia(const Clip& c, const std::string& path)
{
    AVFormatContext* oc = nullptr;
    Check(avformat_alloc_output_context2(&oc, nullptr, c.format, path.c_str()), "output context");
    struct Closer {
        AVFormatContext* oc;
        ~Closer()
        {
            if (oc->pb) avio_closep(&oc->pb);
            avformat_free_context(oc);
        }
    } closer{oc};
    oc->flags |= AVFMT_FLAG_BITEXACT;
    for (const auto& [key, value] : c.tags) av_dict_set(&oc->metadata, key, value, 0);

    std::vector<Track*> tracks;
    Track video;
    if (c.vcodec) {
        video.enc = OpenEncoder(c.vcodec);
        AVCodecContext* e = video.enc;
        e->width = c.width;
        e->height = c.height;
        e->pix_fmt = c.pixfmt;
        // Motion JPEG takes full-range 4:2:0 under its own name; the planes are the same.
        if (e->codec_id == AV_CODEC_ID_MJPEG && c.pixfmt == AV_PIX_FMT_YUV420P) e->pix_fmt = AV_PIX_FMT_YUVJ420P;
        e->time_base = c.variableRate ? VariableRateTimeBase : av_inv_q(c.fps);
        e->framerate = c.fps;
        e->sample_aspect_ratio = c.sar;
        e->bit_rate = c.vbitrate;
        e->gop_size = c.gop;
        e->colorspace = c.matrix;
        e->color_primaries = c.primaries;
        e->color_trc = c.transfer;
        if (c.matrix != AVCOL_SPC_UNSPECIFIED) e->color_range = AVCOL_RANGE_MPEG;
        if (c.interlaced) {
            e->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
            e->field_order = AV_FIELD_TT;
        }
        if (c.hdr) {
            e->color_primaries = AVCOL_PRI_BT2020;
            e->color_trc = AVCOL_TRC_SMPTE2084;
            e->colorspace = AVCOL_SPC_BT2020_NCL;
        }
        if (std::strcmp(c.vcodec, "libx265") == 0) av_opt_set(e->priv_data, "preset", "ultrafast", 0);
        if (std::strcmp(c.vcodec, "libx264") == 0) {
            av_opt_set(e->priv_data, "preset", "veryfast", 0);
            // Key frames only where the group of pictures ends (the flash is a scene cut).
            if (c.flashBeep) av_opt_set_int(e->priv_data, "sc_threshold", 0, 0);
        } else if (std::strcmp(c.vcodec, "libvpx-vp9") == 0) {
            av_opt_set(e->priv_data, "deadline", "realtime", 0);
            av_opt_set_int(e->priv_data, "cpu-used", 8, 0);
        } else if (std::strcmp(c.vcodec, "libx265") == 0) {
            av_opt_set(e->priv_data, "preset", "ultrafast", 0);
            av_opt_set(e->priv_data, "x265-params", "log-level=error:pools=none:frame-threads=1", 0);
        } else {
            e->max_b_frames = c.bframes;
        }
        Finish(oc, e);
        Check(avcodec_open2(e, nullptr, nullptr), "open video encoder");
        video.st = avformat_new_stream(oc, nullptr);
        Check(avcodec_parameters_from_context(video.st->codecpar, e), "video parameters");
        video.st->time_base = e->time_base;
        video.st->sample_aspect_ratio = c.sar;
        if (c.clockwise || c.mirror) {
            auto* m = reinterpret_cast<int32_t*>(av_stream_new_side_data(video.st, AV_PKT_DATA_DISPLAYMATRIX, 36));
            if (!m) throw std::runtime_error("display matrix");
            av_display_rotation_set(m, c.clockwise);
            av_display_matrix_flip(m, c.mirror, 0);
        }
        if (c.interlaced) video.st->codecpar->field_order = AV_FIELD_TT;
        video.frame = av_frame_alloc();
        video.frame->format = e->pix_fmt;
        video.frame->width = e->width;
        video.frame->height = e->height;
        Check(av_frame_get_buffer(video.frame, 0), "picture buffer");
        if (c.drawnUpright) {
            if (c.clockwise != 90 && c.clockwise != 270) throw std::runtime_error("drawn upright: quarter turns only");
            video.upright = av_frame_alloc();
            if (!video.upright) throw std::runtime_error("upright picture");
            video.upright->format = e->pix_fmt;
            video.upright->width = e->height;
            video.upright->height = e->width;
            Check(av_frame_get_buffer(video.upright, 0), "upright picture buffer");
        }
        video.total = c.vframes;
        video.variableRate = c.variableRate;
        video.offset = av_rescale_q(llround(c.vstart * 1000), {1, 1000}, e->time_base);
        if (c.jumpSeconds > 0) {
            video.jumpAt = c.vframes / 2;
            video.jump = av_rescale_q(llround(c.jumpSeconds * 1000), {1, 1000}, e->time_base);
        }
        tracks.push_back(&video);
    }
    // One sound track, or one per entry of soundTracks.
    std::vector<std::unique_ptr<Track>> sounds;
    const std::vector<SoundTrack> soundTracks = c.soundTracks.empty() ? std::vector<SoundTrack>(1) : c.soundTracks;
    for (std::size_t k = 0; c.acodec && k < soundTracks.size(); ++k) {
        Track& audio = *sounds.emplace_back(std::make_unique<Track>());
        audio.sound = true;
        audio.toneShift = double(k) * 110.0;
        audio.enc = OpenEncoder(c.acodec);
        AVCodecContext* e = audio.enc;
        e->sample_fmt = e->codec->sample_fmts ? e->codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
        e->sample_rate = c.rate;
        av_channel_layout_default(&e->ch_layout, c.channels);
        e->time_base = {1, c.rate};
        e->bit_rate = c.abitrate;
        Finish(oc, e);
        Check(avcodec_open2(e, nullptr, nullptr), "open audio encoder");
        audio.st = avformat_new_stream(oc, nullptr);
        Check(avcodec_parameters_from_context(audio.st->codecpar, e), "audio parameters");
        audio.st->time_base = e->time_base;
        const SoundTrack& track = soundTracks[k];
        if (track.language) av_dict_set(&audio.st->metadata, "language", track.language, 0);
        if (track.title) av_dict_set(&audio.st->metadata, "title", track.title, 0);
        if (!c.soundTracks.empty()) audio.st->disposition = track.isDefault ? AV_DISPOSITION_DEFAULT : 0;
        audio.frame = av_frame_alloc();
        audio.frame->format = e->sample_fmt;
        audio.frame->sample_rate = e->sample_rate;
        av_channel_layout_copy(&audio.frame->ch_layout, &e->ch_layout);
        audio.frame->nb_samples = e->frame_size > 0 ? e->frame_size : 1024;
        Check(av_frame_get_buffer(audio.frame, 0), "sound buffer");
        audio.total = c.asamples;
        audio.offset = llround(c.astart * c.rate);
        if (c.jumpSeconds > 0) {
            audio.jumpAt = c.asamples / 2;
            audio.jump = llround(c.jumpSeconds * c.rate);
        }
        tracks.push_back(&audio);
    }
    AVStream* coverStream = nullptr;
    AVPacket* coverPacket = nullptr;
    if (c.cover) coverPacket = EncodeCover(oc, coverStream);
    struct CoverFree {
        AVPacket*& p;
        ~CoverFree() { av_packet_free(&p); }
    } freeCover{coverPacket};
    std::vector<std::pair<AVStream*, std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)>>> texts;
    for (const TextTrack& t : c.textTracks) texts.emplace_back(OpenTextTrack(oc, t));
    for (const Chapter& ch : c.chapters) AddChapter(oc, ch);
    AVStream* subs = nullptr;
    if (c.subtitles) {
        subs = avformat_new_stream(oc, nullptr);
        subs->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        subs->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
        subs->time_base = {1, 1000};
    }

    if (std::strcmp(c.format, "image2") == 0) av_opt_set_int(oc->priv_data, "update", 1, 0);  // one picture, one name
    Check(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), "create file");
    Check(avformat_write_header(oc, nullptr), "write header");

    AVPacket* pkt = av_packet_alloc();
    struct PacketFree {
        AVPacket* p;
        ~PacketFree() { av_packet_free(&p); }
    } freePkt{pkt};

    if (subs) {
        const struct { int64_t at, length; const char* text; } cues[] = {
            {200, 600, "First cue"}, {1000, 600, "Second cue"}};
        for (const auto& cue : cues) {
            Check(av_new_packet(pkt, int(std::strlen(cue.text))), "subtitle packet");
            std::memcpy(pkt->data, cue.text, std::strlen(cue.text));
            pkt->pts = pkt->dts = av_rescale_q(cue.at, {1, 1000}, subs->time_base);
            pkt->duration = av_rescale_q(cue.length, {1, 1000}, subs->time_base);
            pkt->stream_index = subs->index;
            pkt->flags |= AV_PKT_FLAG_KEY;
            Check(av_interleaved_write_frame(oc, pkt), "write subtitle");
        }
    }

    WritingPictureDurations = c.pictureDurations;
    WritingCodecDelayTrack = std::strcmp(c.format, "matroska") == 0 || std::strcmp(c.format, "webm") == 0;
    if (coverPacket) {
        coverPacket->stream_index = coverStream->index;
        Check(av_interleaved_write_frame(oc, coverPacket), "write cover");
    }
    for (std::size_t k = 0; k < texts.size(); ++k)
        WriteCues(oc, texts[k].first, texts[k].second.get(), pkt, c.textTracks[k].box);

    // Feed the encoders in presentation order so that the muxer interleaves evenly.
    for (;;) {
        Track* t = nullptr;
        for (Track* candidate : tracks)
            if (!candidate->Done() && (!t || candidate->NextSeconds() < t->NextSeconds())) t = candidate;
        if (!t) break;
        AVFrame* f = t->frame;
        int64_t step = 1;
        if (t->sound) {
            step = std::min<int64_t>(t->enc->frame_size > 0 ? t->enc->frame_size : 1024, t->total - t->next);
            f->nb_samples = int(step);
            if (c.flashBeep) FillBeepSound(f, t->next, c.rate);
            else if (c.channelSweep) FillChannelSweep(f, t->next, c.rate);
            else FillSound(f, t->next, c.rate, t->toneShift);
        } else if (c.flashBeep) {
            FillFlashPicture(f, t->NextSeconds());
        } else if (t->upright) {
            Check(av_frame_make_writable(t->upright), "picture buffer");
            if (c.fill) c.fill(t->upright, t->next);
            else FillPicture(t->upright, t->next);
            StoreTurnedBack(t->upright, f, c.clockwise);
        } else if (c.fill) {
            Check(av_frame_make_writable(f), "picture buffer");
            c.fill(f, t->next);
        } else {
            FillPicture(f, t->next);
        }
        f->pts = t->NextPts();
        if (t == &video && c.interlaced) {
            f->interlaced_frame = 1;
            f->top_field_first = 1;
        }
        t->next += step;
        Encode(oc, *t, f, pkt);
    }
    for (Track* t : tracks) Encode(oc, *t, nullptr, pkt);
    Check(av_write_trailer(oc), "write trailer");
}

void Produce(const Clip& c, const std::string& path)
{
    if (c.kind == Kind::Empty) {
        WriteBytes(path, {});
    } else if (c.kind == Kind::Text) {
        WriteBytes(path, std::vector<unsigned char>(c.text, c.text + std::strlen(c.text)));
    } else if (c.kind == Kind::RandomBytes) {
        std::mt19937 rng(20090601u);
        std::vector<unsigned char> bytes(64 * 1024);
        for (auto& b : bytes) b = static_cast<unsigned char>(rng() & 0xff);
        WriteBytes(path, bytes);
    } else {
        WriteMedia(c, path);
    }
    if (c.keepFraction < 1) {
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot read back " + path);
        if (::truncate(path.c_str(), off_t(double(st.st_size) * c.keepFraction)) != 0)
            throw std::runtime_error("cannot cut " + path);
    }
}

// ---- Clips of the catalogue tests: sources shaped as today's phones and cameras make
// them, each a little over a second unless its rule needs longer.

// Noise a little blurred in time: an encoder needs every bit it is given, so a target
// size is met by its rate control alone.
void FillNoise(AVFrame* f, int64_t i)
{
    std::mt19937 rng(static_cast<unsigned>(i / 2));
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? AV_CEIL_RSHIFT(f->width, d->log2_chroma_w) : f->width;
        const int h = plane ? AV_CEIL_RSHIFT(f->height, d->log2_chroma_h) : f->height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                f->data[plane][y * f->linesize[plane] + x] = uint8_t(plane ? 96 + (rng() & 63) : 16 + rng() % 220);
    }
}

// ---- A bench clip that looks like a camera's film, for comparing encoders: a
// landscape under a cloudy sky with houses, grass and a field, panned with parallax
// (the near ground faster than the far), a textured ball crossing it, light changing
// slowly and a sensor's grain. Edges, textures, motion of many speeds and noise, as in
// a real film; the moving box of FillPicture is too easy and noise too hard.

constexpr int SceneWidth = 3400, SceneHeight = 800;
constexpr int SceneFar = 330;   // rows above move as one far plane, rows below nearer

uint32_t SceneHash(int x, int y, uint32_t seed)
{
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u + seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// Smooth noise in 0 .. 1 on a lattice of unit spacing.
double ValueNoise(double x, double y, uint32_t seed)
{
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    auto fade = [](double t) { return t * t * (3 - 2 * t); };
    const double fx = fade(x - x0), fy = fade(y - y0);
    auto at = [&](int dx, int dy) { return double(SceneHash(x0 + dx, y0 + dy, seed) & 0xffff) / 65535.0; };
    const double top = at(0, 0) + (at(1, 0) - at(0, 0)) * fx;
    const double bottom = at(0, 1) + (at(1, 1) - at(0, 1)) * fx;
    return top + (bottom - top) * fy;
}

// Four octaves of ValueNoise, fine detail weaker than coarse, in 0 .. 1.
double Fbm(double x, double y, uint32_t seed)
{
    double sum = 0, weight = 0.5, total = 0;
    for (int octave = 0; octave < 4; ++octave, x *= 2.03, y *= 2.03, weight *= 0.5) {
        sum += weight * ValueNoise(x, y, seed + uint32_t(octave));
        total += weight;
    }
    return sum / total;
}

struct Scene {
    std::vector<uint8_t> luma, cb, cr;   // luma SceneWidth x SceneHeight, chroma half that
    int Index(int x, int y, int w) const { return y * w + x; }
};

void PaintSceneGround(Scene& s)
{
    for (int y = 0; y < SceneHeight; ++y)
        for (int x = 0; x < SceneWidth; ++x) {
            const double hill = SceneFar - 60 - 50 * Fbm(x / 400.0, 0.5, 7);
            double v, b = 128, r = 128;
            if (y < hill) {   // sky, lighter at the horizon, with clouds
                const double cloud = std::max(0.0, Fbm(x / 260.0, y / 90.0, 11) - 0.5) * 2;
                v = 120 + 70 * y / hill + 140 * cloud;
                b = 152 - 18 * double(y) / hill - 22 * cloud;
                r = 112 + 14 * cloud;
            } else {          // grass, its detail finer in the distance, rows of a field
                const double near = (y - hill) / (SceneHeight - hill);
                const double scale = 3 + 14 * near;
                const double grass = Fbm(x / scale, y / (scale * 0.6), 23);
                const double furrow = 0.5 + 0.5 * std::sin(x / (6 + 30 * near) + y * 0.02);
                v = 50 + 90 * grass + 25 * near + (x > 1700 && x < 2600 ? 30 * furrow : 0);
                b = 100 + 16 * grass;
                r = 118 + 20 * Fbm(x / 90.0, y / 60.0, 31);
            }
            s.luma[s.Index(x, y, SceneWidth)] = uint8_t(std::clamp(v, 16.0, 235.0));
            if (x % 2 == 0 && y % 2 == 0) {
                s.cb[s.Index(x / 2, y / 2, SceneWidth / 2)] = uint8_t(std::clamp(b, 16.0, 240.0));
                s.cr[s.Index(x / 2, y / 2, SceneWidth / 2)] = uint8_t(std::clamp(r, 16.0, 240.0));
            }
        }
}

// Houses standing on the far plane: walls of their own shade, dark windows, red roofs.
void PaintSceneHouses(Scene& s)
{
    for (int k = 0; k < 9; ++k) {
        const uint32_t h = SceneHash(k, 0, 41);
        const int width = 150 + int(h % 120), height = 90 + int((h >> 8) % 90);
        const int left = 120 + 370 * k + int((h >> 16) % 80), base = SceneFar;
        const int wall = 110 + int((h >> 4) % 100);
        for (int y = base - height - width / 3; y < base; ++y)
            for (int x = left; x < left + width && x < SceneWidth; ++x) {
                const bool roof = y < base - height;
                if (roof && std::abs(x - (left + width / 2)) > (y - (base - height - width / 3)) * 3 / 2) continue;
                const bool window = !roof && (x - left) % 34 > 10 && (x - left) % 34 < 26 && (base - y) % 40 > 12 &&
                                    (base - y) % 40 < 32 && x < left + width - 8;
                const int grain = int(SceneHash(x, y, 53) % 9) - 4;
                s.luma[s.Index(x, y, SceneWidth)] = uint8_t(roof ? 75 + grain : window ? 40 : wall + grain);
                const int c = s.Index(x / 2, y / 2, SceneWidth / 2);
                s.cb[c] = roof ? 105 : window ? 132 : 120;
                s.cr[c] = roof ? 170 : window ? 126 : 138;
            }
    }
}

const Scene& TheScene()
{
    static const Scene scene = [] {
        Scene s;
        s.luma.resize(size_t(SceneWidth) * SceneHeight);
        s.cb.resize(s.luma.size() / 4);
        s.cr.resize(s.luma.size() / 4);
        PaintSceneGround(s);
        PaintSceneHouses(s);
        return s;
    }();
    return scene;
}

// A plane of the scene at (x, y), linearly between its samples.
double SceneSample(const std::vector<uint8_t>& plane, int w, int h, double x, double y)
{
    x = std::clamp(x, 0.0, w - 1.001), y = std::clamp(y, 0.0, h - 1.001);
    const int x0 = int(x), y0 = int(y);
    const double fx = x - x0, fy = y - y0;
    const uint8_t* p = plane.data() + y0 * w + x0;
    const double top = p[0] + (p[1] - p[0]) * fx, bottom = p[w] + (p[w + 1] - p[w]) * fx;
    return top + (bottom - top) * fy;
}

// How far a scene row moves with the camera: the far plane least, the nearest ground most.
double SceneParallax(double y)
{
    return y < SceneFar ? 0.5 : 0.5 + 1.1 * (y - SceneFar) / (SceneHeight - SceneFar);
}

// The ball crossing picture `i`: its luma at (x, y) and whether it covers that point.
bool SceneBall(int64_t i, double x, double y, double& luma)
{
    const double cx = -80 + 2.5 * double(i), cy = 520 - 120 * std::fabs(std::sin(double(i) / 30));
    const double dx = x - cx, dy = y - cy, d = std::sqrt(dx * dx + dy * dy);
    if (d > 58) return false;
    const double turn = double(i) * 0.05;
    const double u = dx * std::cos(turn) + dy * std::sin(turn), v = dy * std::cos(turn) - dx * std::sin(turn);
    const bool light = (int(std::floor(u / 16)) + int(std::floor(v / 16))) % 2 == 0;
    luma = (light ? 210 : 70) * (1 - 0.3 * d / 58);
    return true;
}

void FillScene(AVFrame* f, int64_t i)
{
    const Scene& s = TheScene();
    const double t = double(i);
    const double pan = 2.0 * t + 20 * std::sin(t / 40), bob = 30 + 15 * std::sin(t / 90);
    const double gain = 1 + 0.06 * std::sin(t / 100);
    uint32_t noise = SceneHash(int(i), 1, 61) | 1;
    for (int y = 0; y < f->height; ++y) {
        const double wy = y + bob, wx0 = pan * SceneParallax(wy);
        uint8_t* row = f->data[0] + y * f->linesize[0];
        for (int x = 0; x < f->width; ++x) {
            double v = 0;
            if (!SceneBall(i, x, y, v)) v = SceneSample(s.luma, SceneWidth, SceneHeight, x + wx0, wy);
            noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
            const double grain = double(int(noise & 7) + int((noise >> 3) & 7) - 7) * 0.5;
            row[x] = uint8_t(std::clamp(16 + (v - 16) * gain + grain, 16.0, 235.0));
        }
    }
    for (int y = 0; y < f->height / 2; ++y) {
        const double wy = 2 * y + bob, wx0 = pan * SceneParallax(wy);
        for (int x = 0; x < f->width / 2; ++x) {
            double v = 0;
            const bool ball = SceneBall(i, 2 * x, 2 * y, v);
            const double cx = (2 * x + wx0) / 2, cy = wy / 2;
            f->data[1][y * f->linesize[1] + x] =
                uint8_t(ball ? 100 : SceneSample(s.cb, SceneWidth / 2, SceneHeight / 2, cx, cy));
            f->data[2][y * f->linesize[2] + x] =
                uint8_t(ball ? 185 : SceneSample(s.cr, SceneWidth / 2, SceneHeight / 2, cx, cy));
        }
    }
}

// 20 s of the scene at a rate that keeps its detail: the source the encoders' quality
// per bit is measured on (bench/catalogue_bench.sh).
const std::vector<Clip>& SceneClips()
{
    static const std::vector<Clip> clips = {
        {.name = "bench_720p_scene.mp4", .format = "mp4", .vcodec = "libx264", .width = 1280, .height = 720,
         .fps = {30, 1}, .vframes = 600, .vbitrate = 20000000, .gop = 60, .acodec = "aac", .asamples = 882000,
         .bench = true, .fill = FillScene},
    };
    return clips;
}

const std::vector<Clip>& CatalogueClips()
{
    static const std::vector<Clip> clips = {
        // A phone held upright.
        {.name = "portrait_360x640.mp4", .format = "mp4", .vcodec = "libx264", .width = 360, .height = 640,
         .fps = {30, 1}, .vframes = 36, .acodec = "aac", .asamples = 52920},
        // Picture that the target container takes and sound that it does not (MP4 and AC-3
        // of an older player): smart copy keeps the one and converts the other.
        {.name = "h264_ac3_640x360.mkv", .format = "matroska", .vcodec = "libx264", .width = 640, .height = 360,
         .vframes = 30, .acodec = "ac3", .rate = 48000, .asamples = 57600, .abitrate = 192000},
        // PAL 16:9 stored in 720 x 576.
        {.name = "anamorphic_720x576.mkv", .format = "matroska", .vcodec = "mpeg4", .width = 720, .height = 576,
         .sar = {64, 45}, .vframes = 30, .vbitrate = 800000, .acodec = "mp2", .rate = 48000, .asamples = 57600},
        // A 10-bit HDR camera clip.
        {.name = "hevc_hdr10_320x180.mkv", .format = "matroska", .vcodec = "libx265", .width = 320, .height = 180,
         .pixfmt = AV_PIX_FMT_YUV420P10LE, .vframes = 30, .acodec = "aac", .asamples = 52920, .hdr = true},
        // Rates no MPEG-2 header can name and no device plays.
        {.name = "camera_15fps.avi", .format = "avi", .vcodec = "mpeg4", .width = 176, .height = 144,
         .fps = {15, 1}, .vframes = 20, .acodec = "mp2", .asamples = 58800},
        {.name = "slowmotion_187fps.mkv", .format = "matroska", .vcodec = "mpeg4", .width = 160, .height = 120,
         .fps = {187, 1}, .vframes = 250, .vbitrate = 600000},
        // 30 s for the target sizes.
        {.name = "noise_30s_320x240.mkv", .format = "matroska", .vcodec = "mpeg4", .vframes = 750,
         .vbitrate = 3000000, .gop = 25, .acodec = "mp2", .rate = 48000, .asamples = 1440000, .fill = FillNoise},
    };
    return clips;
}

// ---- Clips of the player tests: pictures with known colours, a still picture and
// a file without any stream the player can show.

// Four quadrants: red top left, green top right, blue bottom left, white bottom
// right (studio-range BT.601 values).
void FillQuadrants(AVFrame* f, int64_t)
{
    static const uint8_t yuv[4][3] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}};
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? f->width / 2 : f->width, h = plane ? f->height / 2 : f->height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                f->data[plane][y * f->linesize[plane] + x] = yuv[(y >= h / 2) * 2 + (x >= w / 2)][plane];
    }
}

// Red rising with x, green with y, blue 200 (packed red, green, blue).
void FillStill(AVFrame* f, int64_t)
{
    for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < f->width; ++x) {
            uint8_t* p = f->data[0] + y * f->linesize[0] + 3 * x;
            p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = 200;
        }
}

// The picture's number as twelve white (1) or black (0) blocks of 24 x 24 in the top
// row, lowest bit first, and a thirteenth always white, over a grey picture with a
// moving box; readable after lossy coding.
void FillFrameNumber(AVFrame* f, int64_t i)
{
    for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < f->width; ++x) {
            uint8_t v = 128;
            const int bit = (x - 8) / 24;
            if (y >= 8 && y < 32 && x >= 8 && bit < 13) v = bit == 12 || ((i >> bit) & 1) ? 235 : 16;
            const int bx = int((i * 4) % (f->width - 40));
            if (y >= 100 && y < 140 && x >= bx && x < bx + 40) v = 200;
            f->data[0][y * f->linesize[0] + x] = v;
        }
    for (int plane = 1; plane < 3; ++plane)
        for (int y = 0; y < f->height / 2; ++y) std::memset(f->data[plane] + y * f->linesize[plane], 128, f->width / 2);
}

// ---- Clips of phones, cameras and archives.

// Studio-range Y, Cb, Cr of a colour (components 0 .. 1) with the luma weights kr, kb.
void StudioYuv(const double rgb[3], double kr, double kb, int out[3])
{
    const double y = kr * rgb[0] + (1 - kr - kb) * rgb[1] + kb * rgb[2];
    out[0] = int(std::lround(16 + 219 * y));
    out[1] = int(std::lround(128 + 224 * (rgb[2] - y) / (2 * (1 - kb))));
    out[2] = int(std::lround(128 + 224 * (rgb[0] - y) / (2 * (1 - kr))));
}

// Four vertical bars, red, green, blue and white, in the matrix kr, kb.
void FillBars(AVFrame* f, double kr, double kb)
{
    static const double colours[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    int yuv[4][3];
    for (int i = 0; i < 4; ++i) StudioYuv(colours[i], kr, kb, yuv[i]);
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? f->width / 2 : f->width, h = plane ? f->height / 2 : f->height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) f->data[plane][y * f->linesize[plane] + x] = uint8_t(yuv[x * 4 / w][plane]);
    }
}

void FillBars709(AVFrame* f, int64_t) { FillBars(f, 0.2126, 0.0722); }
void FillBars601(AVFrame* f, int64_t) { FillBars(f, 0.299, 0.114); }

// Grey with a corner block of its own luma in each corner: top left 40, top right
// 100, bottom left 160, bottom right 220, so that a turned or mirrored picture
// shows where its corners went.
void FillCorners(AVFrame* f, int64_t)
{
    const int w = f->width, h = f->height;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool left = x < w / 4, right = x >= w - w / 4, top = y < h / 4, bottom = y >= h - h / 4;
            uint8_t v = 128;
            if (top && left) v = 40;
            else if (top && right) v = 100;
            else if (bottom && left) v = 160;
            else if (bottom && right) v = 220;
            f->data[0][y * f->linesize[0] + x] = v;
        }
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < h / 2; ++y) std::memset(f->data[p] + y * f->linesize[p], 128, w / 2);
}

// Vertical bars of `width` pixels moving `step` pixels per field, the two fields of a
// picture taken half a picture apart and woven together: a moving edge combs.
void WeaveBars(AVFrame* f, int64_t i, int step, int width)
{
    for (int y = 0; y < f->height; ++y) {
        const int64_t field = 2 * i + (y & 1);
        for (int x = 0; x < f->width; ++x)
            f->data[0][y * f->linesize[0] + x] = ((x + step * field) / width) % 2 ? 200 : 40;
    }
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < f->height / 2; ++y) std::memset(f->data[p] + y * f->linesize[p], 128, f->width / 2);
}

void FillWovenBars(AVFrame* f, int64_t i) { WeaveBars(f, i, 16, 32); }
// Bars wide enough that a field three fields away does not look like the next one:
// the order of the fields shows in the picture.
void FillWovenWideBars(AVFrame* f, int64_t i) { WeaveBars(f, i, 12, 64); }
// The scene of FillMovingBars shot a field at a time: deinterlaced, it is that scene
// again, so that the two cost the same to encode.
void FillWovenSlowBars(AVFrame* f, int64_t i) { WeaveBars(f, i, 4, 32); }

// The same bars shot whole pictures at a time: moving, but never combed.
void FillMovingBars(AVFrame* f, int64_t i)
{
    for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < f->width; ++x) f->data[0][y * f->linesize[0] + x] = ((x + 8 * i) / 32) % 2 ? 200 : 40;
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < f->height / 2; ++y) std::memset(f->data[p] + y * f->linesize[p], 128, f->width / 2);
}

// Lines of lettering rolling up four rows per picture, as end credits do: progressive,
// yet the rows of one picture are those of the next four rows down.
void FillRollingCredits(AVFrame* f, int64_t i)
{
    for (int y = 0; y < f->height; ++y) {
        const int64_t row = y + 4 * i, line = row / 20, inLine = row % 20;
        for (int x = 0; x < f->width; ++x) {
            const int64_t glyph = x / 8;
            const bool lit = inLine >= 4 && inLine < 16 && x % 8 < 6 && (glyph * 7 + line * 13) % 5 != 0;
            f->data[0][y * f->linesize[0] + x] = lit ? 230 : 20;
        }
    }
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < f->height / 2; ++y) std::memset(f->data[p] + y * f->linesize[p], 128, f->width / 2);
}

// Inverse of the BT.709 camera curve: linear light of a component 0 .. 1.
double Bt709Linear(double v)
{
    return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45);
}

double PqSignal(double nits)
{
    const double m1 = 0.1593017578125, m2 = 78.84375, c1 = 0.8359375, c2 = 18.8515625, c3 = 18.6875;
    const double y = std::pow(std::max(nits, 0.0) / 10000, m1);
    return std::pow((c1 + c2 * y) / (1 + c3 * y), m2);
}

double HlgSignal(double e)   // scene light 0 .. 1
{
    const double a = 0.17883277, b = 0.28466892, c = 0.55991073;
    return e <= 1.0 / 12 ? std::sqrt(3 * e) : a * std::log(12 * e - b) + c;
}

// The SDR bars of HdrBarColours as an HDR camera records them: BT.2020 primaries,
// 10-bit studio range, SDR white at 203 cd/m2 (PQ) or at 75 % of the signal (HLG).
void FillHdrBars(AVFrame* f, bool pq)
{
    static const double colours[4][3] = {{0.6, 0, 0}, {0, 0.6, 0}, {0, 0, 0.6}, {0.5, 0.5, 0.5}};
    static const double to2020[3][3] = {
        {0.6274, 0.3293, 0.0433}, {0.0691, 0.9195, 0.0114}, {0.0164, 0.0880, 0.8956}};
    int yuv[4][3];
    for (int i = 0; i < 4; ++i) {
        double lin[3], wide[3], sig[3];
        // PQ describes the light a display gives (an SDR display's is the signal to the
        // power 2.4), HLG the light the camera saw (the inverse of its BT.709 curve).
        for (int k = 0; k < 3; ++k) lin[k] = pq ? std::pow(colours[i][k], 2.4) : Bt709Linear(colours[i][k]);
        for (int k = 0; k < 3; ++k) wide[k] = to2020[k][0] * lin[0] + to2020[k][1] * lin[1] + to2020[k][2] * lin[2];
        for (int k = 0; k < 3; ++k) sig[k] = pq ? PqSignal(203 * wide[k]) : HlgSignal(0.26496 * wide[k]);
        const double kr = 0.2627, kb = 0.0593;
        const double y = kr * sig[0] + (1 - kr - kb) * sig[1] + kb * sig[2];
        yuv[i][0] = int(std::lround(64 + 876 * y));
        yuv[i][1] = int(std::lround(512 + 896 * (sig[2] - y) / (2 * (1 - kb))));
        yuv[i][2] = int(std::lround(512 + 896 * (sig[0] - y) / (2 * (1 - kr))));
    }
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? f->width / 2 : f->width, h = plane ? f->height / 2 : f->height;
        for (int y = 0; y < h; ++y) {
            auto* row = reinterpret_cast<uint16_t*>(f->data[plane] + y * f->linesize[plane]);
            for (int x = 0; x < w; ++x) row[x] = uint16_t(yuv[x * 4 / w][plane]);
        }
    }
}

void FillPqBars(AVFrame* f, int64_t) { FillHdrBars(f, true); }
void FillHlgBars(AVFrame* f, int64_t) { FillHdrBars(f, false); }

const std::vector<Clip>& PictureClips()
{
    static const std::vector<Clip> clips = {
        // A phone's portrait clip is stored landscape with a quarter turn to show it.
        {.name = "turn_90.mp4", .format = "mp4", .vcodec = "libx264", .width = 320, .height = 176, .vframes = 10,
         .vbitrate = 1000000, .fill = FillCorners, .clockwise = 90},
        {.name = "turn_180.mp4", .format = "mp4", .vcodec = "libx264", .width = 320, .height = 176, .vframes = 10,
         .vbitrate = 1000000, .fill = FillCorners, .clockwise = 180},
        {.name = "turn_270.mp4", .format = "mp4", .vcodec = "libx264", .width = 320, .height = 176, .vframes = 10,
         .vbitrate = 1000000, .fill = FillCorners, .clockwise = 270},
        {.name = "mirror.mp4", .format = "mp4", .vcodec = "libx264", .width = 320, .height = 176, .vframes = 10,
         .vbitrate = 1000000, .fill = FillCorners, .mirror = true},
        {.name = "turn_90_mirror.mp4", .format = "mp4", .vcodec = "libx264", .width = 320, .height = 176,
         .vframes = 10, .vbitrate = 1000000, .fill = FillCorners, .clockwise = 90, .mirror = true},
        {.name = "turn_270_mirror.mp4", .format = "mp4", .vcodec = "libx264", .width = 320, .height = 176,
         .vframes = 10, .vbitrate = 1000000, .fill = FillCorners, .clockwise = 270, .mirror = true},
        // Colour bars as HD and SD cameras make them: tagged BT.709, untagged BT.601.
        {.name = "bars_hd_709.mp4", .format = "mp4", .vcodec = "libx264", .width = 1280, .height = 720,
         .vframes = 5, .vbitrate = 2000000, .fill = FillBars709, .matrix = AVCOL_SPC_BT709,
         .primaries = AVCOL_PRI_BT709, .transfer = AVCOL_TRC_BT709},
        {.name = "bars_sd_601.avi", .format = "avi", .vcodec = "mpeg4", .width = 640, .height = 480, .vframes = 5,
         .vbitrate = 4000000, .fill = FillBars601},
        // HDR10 and HLG clips of bars an SDR picture shows as red, green and blue at 60 %
        // and grey at 50 % of their signal.
        {.name = "bars_pq.mkv", .format = "matroska", .vcodec = "libx265", .width = 1280, .height = 720,
         .pixfmt = AV_PIX_FMT_YUV420P10LE, .vframes = 5, .vbitrate = 2000000, .fill = FillPqBars,
         .matrix = AVCOL_SPC_BT2020_NCL, .primaries = AVCOL_PRI_BT2020, .transfer = AVCOL_TRC_SMPTE2084},
        {.name = "bars_hlg.mkv", .format = "matroska", .vcodec = "libx265", .width = 1280, .height = 720,
         .pixfmt = AV_PIX_FMT_YUV420P10LE, .vframes = 5, .vbitrate = 2000000, .fill = FillHlgBars,
         .matrix = AVCOL_SPC_BT2020_NCL, .primaries = AVCOL_PRI_BT2020, .transfer = AVCOL_TRC_ARIB_STD_B67},
        // A phone's HDR clip: HLG bars drawn upright, stored on their side with a quarter turn.
        {.name = "phone_hlg_turned.mp4", .format = "mp4", .vcodec = "libx265", .width = 1280, .height = 720,
         .pixfmt = AV_PIX_FMT_YUV420P10LE, .vframes = 5, .vbitrate = 2000000, .fill = FillHlgBars,
         .clockwise = 90, .drawnUpright = true, .matrix = AVCOL_SPC_BT2020_NCL, .primaries = AVCOL_PRI_BT2020,
         .transfer = AVCOL_TRC_ARIB_STD_B67},
        // Archives: AVI keeps pictures in decoding order with no times of their own.
        {.name = "flash_beep_bframes.avi", .format = "avi", .vcodec = "mpeg4", .fps = {30, 1}, .vframes = 120,
         .gop = 30, .acodec = "pcm_s16le", .rate = 22050, .channels = 1, .asamples = 88200, .flashBeep = true,
         .bframes = 2},
        {.name = "flash_beep_h264.avi", .format = "avi", .vcodec = "libx264", .fps = {30, 1}, .vframes = 120,
         .gop = 30, .acodec = "libmp3lame", .asamples = 176400, .flashBeep = true},
        // A phone's variable rate, a web clip with Opus (its encoder delay signalled as
        // pre-skip), a DVD program stream.
        {.name = "flash_beep_vfr.mp4", .format = "mp4", .vcodec = "libx264", .fps = {30, 1}, .vframes = 90,
         .gop = 30, .acodec = "aac", .asamples = 176400, .flashBeep = true, .variableRate = true},
        {.name = "flash_beep.webm", .format = "webm", .vcodec = "libvpx-vp9", .fps = {30, 1}, .vframes = 120,
         .gop = 30, .acodec = "libopus", .rate = 48000, .asamples = 192000, .flashBeep = true},
        {.name = "flash_beep.opus", .format = "opus", .acodec = "libopus", .rate = 48000, .asamples = 192000,
         .flashBeep = true},
        {.name = "flash_beep.vob", .format = "dvd", .vcodec = "mpeg2video", .width = 720, .height = 576,
         .vframes = 100, .vbitrate = 4000000, .acodec = "ac3", .rate = 48000, .asamples = 192000,
         .abitrate = 192000, .flashBeep = true},
        // Benchmarks: 20 s of HDR and its SDR twin, a turned phone clip with its twin
        // stored upright, and an interlaced TV recording with its progressive twin.
        {.name = "bench_1080p_pq.mkv", .format = "matroska", .vcodec = "libx265", .width = 1920, .height = 1080,
         .pixfmt = AV_PIX_FMT_YUV420P10LE, .fps = {30, 1}, .vframes = 600, .vbitrate = 4000000, .gop = 60,
         .bench = true, .matrix = AVCOL_SPC_BT2020_NCL, .primaries = AVCOL_PRI_BT2020,
         .transfer = AVCOL_TRC_SMPTE2084},
        {.name = "bench_1080p_sdr10.mkv", .format = "matroska", .vcodec = "libx265", .width = 1920, .height = 1080,
         .pixfmt = AV_PIX_FMT_YUV420P10LE, .fps = {30, 1}, .vframes = 600, .vbitrate = 4000000, .gop = 60,
         .bench = true, .matrix = AVCOL_SPC_BT709, .primaries = AVCOL_PRI_BT709, .transfer = AVCOL_TRC_BT709},
        {.name = "bench_720p_turn.mp4", .format = "mp4", .vcodec = "libx264", .width = 1280, .height = 720,
         .fps = {30, 1}, .vframes = 600, .vbitrate = 2000000, .bench = true, .clockwise = 90, .drawnUpright = true},
        {.name = "bench_720p_portrait.mp4", .format = "mp4", .vcodec = "libx264", .width = 720, .height = 1280,
         .fps = {30, 1}, .vframes = 600, .vbitrate = 2000000, .bench = true},
        {.name = "bench_576i.ts", .format = "mpegts", .vcodec = "mpeg2video", .width = 720, .height = 576,
         .vframes = 500, .vbitrate = 6000000, .bench = true, .fill = FillWovenSlowBars, .interlaced = true},
        {.name = "bench_576p.ts", .format = "mpegts", .vcodec = "mpeg2video", .width = 720, .height = 576,
         .vframes = 500, .vbitrate = 6000000, .bench = true, .fill = FillMovingBars},
        // Woven bars that nothing marks interlaced (a recording remuxed without its
        // flags), and bars moving whole pictures at a time.
        {.name = "woven_bars_unflagged.avi", .format = "avi", .vcodec = "mpeg4", .width = 352, .height = 288,
         .vframes = 30, .vbitrate = 4000000, .fill = FillWovenWideBars},
        {.name = "moving_bars.avi", .format = "avi", .vcodec = "mpeg4", .width = 352, .height = 288,
         .vframes = 30, .vbitrate = 4000000, .fill = FillMovingBars},
        // Progressive, but a field detector that compares a picture with its neighbours
        // takes it for woven fields.
        {.name = "rolling_credits.mp4", .format = "mp4", .vcodec = "libx264", .width = 352, .height = 288,
         .vframes = 30, .vbitrate = 2000000, .fill = FillRollingCredits},
        // A TV recording: interlaced MPEG-2 of moving bars.
        {.name = "woven_bars.ts", .format = "mpegts", .vcodec = "mpeg2video", .width = 720, .height = 576,
         .vframes = 10, .vbitrate = 8000000, .fill = FillWovenBars, .interlaced = true},
    };
    return clips;
}

const std::vector<Clip>& PlayerClips()
{
    static const std::vector<Clip> clips = {
        // 720 x 576 with sample aspect 64:45 (16:9), losslessly coded.
        {.name = "quadrants_64x45.mkv", .format = "matroska", .vcodec = "ffv1", .width = 720, .height = 576,
         .sar = {64, 45}, .vframes = 50, .fill = FillQuadrants},
        {.name = "still.png", .format = "image2", .vcodec = "png", .pixfmt = AV_PIX_FMT_RGB24, .vframes = 1,
         .fill = FillStill},
        {.name = "subtitles_only.mkv", .format = "matroska", .subtitles = true},
        // 10 s of numbered pictures at 25 fps, key frames every 3.2 s, with sound: seeks
        // between key frames show which picture they landed on.
        {.name = "numbered_gop80.mp4", .format = "mp4", .vcodec = "libx264", .vframes = 250, .vbitrate = 600000,
         .gop = 80, .acodec = "aac", .asamples = 441000, .fill = FillFrameNumber},
        // Camera-style sound in AVI: 16-bit stereo PCM at 44.1 kHz (176,400 bytes/s) beside
        // Motion JPEG; the muxer writes the sound in large chunks ahead of the pictures.
        {.name = "flash_beep_pcm44k.avi", .format = "avi", .vcodec = "mjpeg", .fps = {30, 1}, .vframes = 120,
         .vbitrate = 2000000, .acodec = "pcm_s16le", .asamples = 176400, .flashBeep = true},
        // The sound ends 1.5 s before the picture, as in many phone files.
        {.name = "short_sound.mp4", .format = "mp4", .vcodec = "libx264", .vframes = 75, .acodec = "aac",
         .asamples = 66150},
        {.name = "tone.flac", .format = "flac", .acodec = "flac", .asamples = 132300},
        {.name = "one_frame.mp4", .format = "mp4", .vcodec = "libx264", .vframes = 1, .fill = FillQuadrants,
         .pictureDurations = true},
        {.name = "one_frame.mkv", .format = "matroska", .vcodec = "libx264", .vframes = 1, .fill = FillQuadrants},
        {.name = "one_frame_mjpeg.avi", .format = "avi", .vcodec = "mjpeg", .vframes = 1, .fill = FillQuadrants},
        // Three pictures missing after the 25th, as cameras drop them.
        {.name = "gap_160x120.avi", .format = "avi", .vcodec = "mpeg4", .width = 160, .height = 120,
         .vframes = 50, .jumpSeconds = 0.12},
        // Key frames 10 s apart: a seek decodes up to 10 s of pictures to reach its target.
        {.name = "bench_720p_gop10s.mp4", .format = "mp4", .vcodec = "libx264", .width = 1280, .height = 720,
         .fps = {30, 1}, .vframes = 600, .vbitrate = 2000000, .gop = 300, .acodec = "aac", .asamples = 882000,
         .bench = true},
        {.name = "bench_1080p60.mp4", .format = "mp4", .vcodec = "libx264", .width = 1920, .height = 1080,
         .fps = {60, 1}, .vframes = 1200, .vbitrate = 6000000, .gop = 120, .acodec = "aac", .asamples = 882000,
         .bench = true},
    };
    return clips;
}

// Containers and lengths people's files come in beyond the test clips above: web
// and free formats, a phone's song, and sounds and clips shorter than a second.
const std::vector<Clip>& DesktopTypeClips()
{
    static const std::vector<Clip> clips = {
        {.name = "webm_vp8_vorbis.webm", .format = "webm", .vcodec = "libvpx", .width = 160, .height = 120,
         .vframes = 10, .acodec = "libvorbis", .asamples = 17640},
        {.name = "ogv_theora_vorbis.ogv", .format = "ogg", .vcodec = "libtheora", .width = 160, .height = 120,
         .vframes = 10, .acodec = "libvorbis", .asamples = 17640},
        {.name = "opus_song.opus", .format = "opus", .acodec = "libopus", .rate = 48000, .asamples = 48000},
        {.name = "m4a_aac.m4a", .format = "ipod", .acodec = "aac", .asamples = 44100},
        // A 0.3 s sound effect and a 0.6 s clip.
        {.name = "sfx_0300ms.wav", .format = "wav", .acodec = "pcm_s16le", .rate = 22050, .channels = 1,
         .asamples = 6615},
        {.name = "clip_0600ms.mkv", .format = "matroska", .vcodec = "mpeg4", .width = 160, .height = 120,
         .vframes = 15, .acodec = "mp2", .asamples = 26460},
    };
    return clips;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string outDir;
    bool bench = false, seeds = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bench") == 0)
            bench = true;
        else if (std::strcmp(argv[i], "--seeds") == 0)
            seeds = true;
        else if (outDir.empty())
            outDir = argv[i];
        else
            outDir.clear(), i = argc;
    }
    if (outDir.empty()) {
        std::fprintf(stderr, "usage: make_test_media OUTDIR [--bench | --seeds]\n");
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    if (::mkdir(outDir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(outDir.c_str());
        return 1;
    }
    if (outDir.back() != '/') outDir += '/';
    int failures = 0;
    std::vector<Clip> all = Clips();
    all.insert(all.end(), SourceFormatClips().begin(), SourceFormatClips().end());
    all.insert(all.end(), PlayerClips().begin(), PlayerClips().end());
    all.insert(all.end(), DesktopTypeClips().begin(), DesktopTypeClips().end());
    all.insert(all.end(), CatalogueClips().begin(), CatalogueClips().end());
    all.insert(all.end(), SceneClips().begin(), SceneClips().end());
    all.insert(all.end(), KeepEverythingClips().begin(), KeepEverythingClips().end());
    all.insert(all.end(), PictureClips().begin(), PictureClips().end());
    for (const Clip& c : all) {
        if ((c.bench && !bench) || c.seed != seeds) continue;
        const std::string path = outDir + c.name;
        if (Exists(path)) continue;
        const std::string temp = outDir + "." + c.name + ".part" + std::to_string(::getpid());
        try {
            Produce(c, temp);
            if (std::rename(temp.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot rename to " + path);
            struct stat st{};
            ::stat(path.c_str(), &st);
            std::printf("%s (%lld bytes)\n", path.c_str(), static_cast<long long>(st.st_size));
        } catch (const std::exception& e) {
            std::remove(temp.c_str());
            std::fprintf(stderr, "%s: %s\n", c.name, e.what());
            ++failures;
        }
    }
    return failures ? 1 : 0;
}
