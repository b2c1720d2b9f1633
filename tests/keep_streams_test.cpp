// Everything of a source a user keeps besides one picture and one sound: every sound
// track, surround sound, subtitle tracks, chapters, cover art and tags. Each result
// is read back with the libraries and compared with what the source held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "engine/FFmpeg.h"
#include "media/AVCodecStubs.h"
#include "media/AVFilterStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/AvHandles.h"
#include "tests/support/VideoConvert.h"

using namespace kv::test;

namespace {

struct TTrack {
    AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID Codec = AV_CODEC_ID_NONE;
    int Disposition = 0;
    std::string Language, Title;
    std::string Handler;   // the MP4 family's name of the track's handler
    int Channels = 0;
    std::uint64_t Layout = 0;   // channel mask, 0 when not a native layout
    std::vector<double> Times;  // seconds of the packets (read for subtitles)
    std::vector<double> Lengths;  // and how long each is shown
    bool Cover() const { return Type == AVMEDIA_TYPE_VIDEO && (Disposition & AV_DISPOSITION_ATTACHED_PIC); }
};

struct TChapter {
    double Start, End;
    std::string Title;
};

struct TFile {
    bool Ok = false;
    std::vector<TTrack> Tracks;
    std::map<std::string, std::string> Tags;   // the file's and the sound streams', keys in lower case
    std::vector<TChapter> Chapters;
    double Start = 0;   // seconds where playing begins (the container's first time)
    int Count(AVMediaType type) const
    {
        return static_cast<int>(std::count_if(Tracks.begin(), Tracks.end(),
                                              [type](const TTrack& t) { return t.Type == type && !t.Cover(); }));
    }
    int Covers() const
    {
        return static_cast<int>(std::count_if(Tracks.begin(), Tracks.end(), [](const TTrack& t) { return t.Cover(); }));
    }
    std::vector<const TTrack*> Of(AVMediaType type) const
    {
        std::vector<const TTrack*> out;
        for (const TTrack& t : Tracks)
            if (t.Type == type && !t.Cover()) out.push_back(&t);
        return out;
    }
};

std::string Tag(const AVDictionary* tags, const char* key)
{
    const AVDictionaryEntry* e = av::av_dict_get(tags, key, nullptr, 0);
    return e ? e->value : "";
}

TFile Read(const std::string& file)
{
    TFile f;
    AVFormatContext* raw = nullptr;
    if (av::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return f;
    kv::media::InputFormatHandle ic(raw);
    if (av::avformat_find_stream_info(ic.get(), nullptr) < 0) return f;
    f.Ok = true;
    if (ic->start_time != AV_NOPTS_VALUE) f.Start = static_cast<double>(ic->start_time) / AV_TIME_BASE;
    auto readTags = [&f](const AVDictionary* tags) {
        for (const AVDictionaryEntry* t = nullptr; (t = av::av_dict_get(tags, "", t, AV_DICT_IGNORE_SUFFIX));) {
            std::string key = t->key;
            std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
            f.Tags.emplace(key, t->value);
        }
    };
    readTags(ic->metadata);
    for (unsigned s = 0; s < ic->nb_streams; ++s) {
        const AVStream* st = ic->streams[s];
        TTrack t;
        t.Type = st->codecpar->codec_type;
        t.Codec = st->codecpar->codec_id;
        t.Disposition = st->disposition;
        t.Language = Tag(st->metadata, "language");
        t.Title = Tag(st->metadata, "title");
        t.Handler = Tag(st->metadata, "handler_name");
        t.Channels = st->codecpar->ch_layout.nb_channels;
        if (st->codecpar->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) t.Layout = st->codecpar->ch_layout.u.mask;
        f.Tracks.push_back(t);
        if (t.Type == AVMEDIA_TYPE_AUDIO) readTags(st->metadata);   // Ogg keeps its tags there
    }
    for (unsigned c = 0; c < ic->nb_chapters; ++c) {
        const AVChapter* ch = ic->chapters[c];
        f.Chapters.push_back({static_cast<double>(ch->start) * av_q2d(ch->time_base),
                              static_cast<double>(ch->end) * av_q2d(ch->time_base), Tag(ch->metadata, "title")});
    }
    kv::media::PacketHandle pkt(av::av_packet_alloc());
    while (av::av_read_frame(ic.get(), pkt.get()) >= 0) {
        const AVStream* st = ic->streams[pkt->stream_index];
        // Timed text fills the gaps between cues with empty samples (a zero length).
        const bool emptyText = st->codecpar->codec_id == AV_CODEC_ID_MOV_TEXT && pkt->size <= 2;
        if (st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && pkt->pts != AV_NOPTS_VALUE && !emptyText) {
            f.Tracks[pkt->stream_index].Times.push_back(static_cast<double>(pkt->pts) * av_q2d(st->time_base) -
                                                        f.Start);
            f.Tracks[pkt->stream_index].Lengths.push_back(static_cast<double>(pkt->duration) * av_q2d(st->time_base));
        }
        av::av_packet_unref(pkt.get());
    }
    return f;
}

// The decoded sound of one stream, as levels: the root mean square of every channel
// in consecutive windows of `window` seconds, and the rate of channel 0's upward
// zero crossings over the whole stream (the tone's pitch).
struct TSound {
    bool Ok = false;
    std::vector<std::vector<double>> Levels;   // [window][channel], full scale = 1
    double Peak = 0;
    double PitchHz = 0;
};

TSound Listen(const std::string& file, int audioIndex, double window)
{
    TSound sound;
    AVFormatContext* raw = nullptr;
    if (av::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return sound;
    kv::media::InputFormatHandle ic(raw);
    if (av::avformat_find_stream_info(ic.get(), nullptr) < 0) return sound;
    int index = -1;
    for (unsigned s = 0, n = 0; s < ic->nb_streams && index < 0; ++s)
        if (ic->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && n++ == static_cast<unsigned>(audioIndex))
            index = static_cast<int>(s);
    if (index < 0) return sound;
    const AVCodecParameters* par = ic->streams[index]->codecpar;
    const AVCodec* codec = av::avcodec_find_decoder(par->codec_id);
    kv::media::CodecContextHandle dec(av::avcodec_alloc_context3(codec));
    if (!dec || av::avcodec_parameters_to_context(dec.get(), par) < 0 || av::avcodec_open2(dec.get(), codec, nullptr) < 0)
        return sound;
    kv::media::PacketHandle pkt(av::av_packet_alloc());
    kv::media::FrameHandle frame(av::av_frame_alloc());
    std::vector<double> sums;
    long long inWindow = 0, total = 0, crossings = 0;
    double previous = 0;
    const int rate = par->sample_rate;
    auto take = [&](AVFrame* f) {
        const int channels = f->ch_layout.nb_channels;
        const auto format = static_cast<AVSampleFormat>(f->format);
        const bool planar = av::av_sample_fmt_is_planar(format);
        for (int n = 0; n < f->nb_samples; ++n) {
            if (sums.empty()) sums.assign(channels, 0);
            for (int c = 0; c < channels; ++c) {
                const int plane = planar ? c : 0, at = planar ? n : n * channels + c;
                double v = 0;
                switch (av::av_get_packed_sample_fmt(format)) {
                case AV_SAMPLE_FMT_S16: v = reinterpret_cast<const std::int16_t*>(f->data[plane])[at] / 32768.0; break;
                case AV_SAMPLE_FMT_S32: v = reinterpret_cast<const std::int32_t*>(f->data[plane])[at] / 2147483648.0; break;
                case AV_SAMPLE_FMT_FLT: v = reinterpret_cast<const float*>(f->data[plane])[at]; break;
                case AV_SAMPLE_FMT_DBL: v = reinterpret_cast<const double*>(f->data[plane])[at]; break;
                default: return;
                }
                sums[c] += v * v;
                sound.Peak = std::max(sound.Peak, std::fabs(v));
                // Crossings with a margin, so that coding noise near zero counts none.
                if (c == 0 && std::fabs(v) > 0.05) {
                    if (previous < 0 && v > 0) ++crossings;
                    previous = v;
                }
            }
            ++total;
            if (++inWindow == std::llround(window * rate)) {
                std::vector<double> levels;
                for (double s : sums) levels.push_back(std::sqrt(s / static_cast<double>(inWindow)));
                sound.Levels.push_back(levels);
                sums.assign(channels, 0);
                inWindow = 0;
            }
        }
    };
    auto drain = [&] {
        while (av::avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
            take(frame.get());
            av::av_frame_unref(frame.get());
        }
    };
    while (av::av_read_frame(ic.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == index && av::avcodec_send_packet(dec.get(), pkt.get()) >= 0) drain();
        av::av_packet_unref(pkt.get());
    }
    av::avcodec_send_packet(dec.get(), nullptr);
    drain();
    sound.Ok = total > 0;
    if (total > 0) sound.PitchHz = static_cast<double>(crossings) * rate / static_cast<double>(total);
    return sound;
}

// The decoded pictures of the first video stream: each one's time in seconds from
// where playing begins, and the mean luma of its top half's middle (the place of the
// clip's box cues; borders left out for the scaler's edges).
std::vector<std::pair<double, double>> TopLuma(const std::string& file)
{
    std::vector<std::pair<double, double>> pictures;
    AVFormatContext* raw = nullptr;
    if (av::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return pictures;
    kv::media::InputFormatHandle ic(raw);
    if (av::avformat_find_stream_info(ic.get(), nullptr) < 0) return pictures;
    const int index = av::av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return pictures;
    const AVStream* st = ic->streams[index];
    const AVCodec* codec = av::avcodec_find_decoder(st->codecpar->codec_id);
    kv::media::CodecContextHandle dec(av::avcodec_alloc_context3(codec));
    if (!dec || av::avcodec_parameters_to_context(dec.get(), st->codecpar) < 0 ||
        av::avcodec_open2(dec.get(), codec, nullptr) < 0)
        return pictures;
    const double start = ic->start_time != AV_NOPTS_VALUE ? static_cast<double>(ic->start_time) / AV_TIME_BASE : 0;
    kv::media::PacketHandle pkt(av::av_packet_alloc());
    kv::media::FrameHandle frame(av::av_frame_alloc());
    auto drain = [&] {
        while (av::avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
            const AVFrame* f = frame.get();
            double sum = 0;
            long count = 0;
            for (int y = f->height / 8; y < f->height * 3 / 8; ++y)
                for (int x = f->width / 8; x < f->width * 7 / 8; ++x, ++count) sum += f->data[0][y * f->linesize[0] + x];
            const std::int64_t pts = f->best_effort_timestamp;
            if (count > 0 && pts != AV_NOPTS_VALUE)
                pictures.emplace_back(static_cast<double>(pts) * av_q2d(st->time_base) - start, sum / count);
            av::av_frame_unref(frame.get());
        }
    };
    while (av::av_read_frame(ic.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == index && av::avcodec_send_packet(dec.get(), pkt.get()) >= 0) drain();
        av::av_packet_unref(pkt.get());
    }
    av::avcodec_send_packet(dec.get(), nullptr);
    drain();
    return pictures;
}

class KeepStreamsTest : public TOutputFolderTest {
protected:
    TConvertResult Convert(const std::string& input, const TOptionList& inputOptions, const std::string& output,
                           const TOptionList& outputOptions)
    {
        return kv::test::Convert(sink, {{input, inputOptions}}, output, outputOptions, 1);
    }
    // Converts and reads the result back; a failed conversion fails the test.
    TFile Converted(const std::string& input, const TOptionList& inputOptions, const std::string& output,
                    const TOptionList& outputOptions)
    {
        const TConvertResult r = Convert(input, inputOptions, Out(output), outputOptions);
        EXPECT_TRUE(r.Opened && r.Finished && !r.Failed) << r.Message;
        return Read(Out(output));
    }
};

// What a video profile asks for, in the output's containers.
const TOptionList VideoProfile = {{"vcodec", "mpeg4"}, {"b", "400000"}, {"ab", "128000"}, {"ar", "44100"}, {"ac", "2"}};

TEST_F(KeepStreamsTest, CoverArtIsNeverTakenAsTheVideo)
{
    struct Case {
        const char* output;
        TOptionList options;
    };
    const Case cases[] = {
        {"v.mp4", {{"vcodec", "mpeg4"}, {"acodec", "aac"}}},
        {"v.avi", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}}},
        {"v.mkv", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}}},
        {"v.webm", {{"vcodec", "libvpx"}, {"acodec", "libvorbis"}}},
    };
    for (const char* input : {"cover.mp3", "cover.flac"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(input) + " -> " + c.output);
            const TFile f = Converted(input, {}, c.output, c.options);
            ASSERT_TRUE(f.Ok);
            EXPECT_EQ(f.Count(AVMEDIA_TYPE_VIDEO), 0);
            EXPECT_EQ(f.Count(AVMEDIA_TYPE_AUDIO), 1);
        }
    }
}

TEST_F(KeepStreamsTest, CoverArtIsKeptWhereTheContainerHoldsOne)
{
    struct Case {
        const char* input;
        TOptionList inputOptions;
        const char* output;
    };
    const Case cases[] = {
        {"cover.mp3", {}, "c.mp3"},  {"cover.mp3", {{"vn", "1"}}, "c2.mp3"}, {"cover.mp3", {}, "c.m4a"},
        {"cover.mp3", {}, "c.flac"}, {"cover.mp3", {}, "c.ogg"},             {"cover.mp3", {}, "c.mka"},
        {"cover.flac", {}, "f.mp3"}, {"cover.flac", {}, "f.m4a"},            {"cover.flac", {}, "f.mkv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        const TFile f = Converted(c.input, c.inputOptions, c.output, {});
        ASSERT_TRUE(f.Ok);
        EXPECT_EQ(f.Covers(), 1);
        EXPECT_EQ(f.Count(AVMEDIA_TYPE_VIDEO), 0);
        EXPECT_EQ(f.Count(AVMEDIA_TYPE_AUDIO), 1);
    }
}

TEST_F(KeepStreamsTest, EverySoundTrackGoesWhereTheContainerHoldsSeveral)
{
    for (const char* output : {"t.mkv", "t.mp4", "t.ts"}) {
        SCOPED_TRACE(output);
        const TFile f = Converted("two_languages.mkv", {}, output, VideoProfile);
        ASSERT_TRUE(f.Ok);
        EXPECT_EQ(f.Count(AVMEDIA_TYPE_VIDEO), 1);
        const auto sound = f.Of(AVMEDIA_TYPE_AUDIO);
        ASSERT_EQ(sound.size(), 2u);
        EXPECT_EQ(sound[0]->Language, "eng");
        EXPECT_EQ(sound[1]->Language, "fre");
        EXPECT_EQ(sound[0]->Channels, 2);
        EXPECT_EQ(sound[1]->Channels, 2);
        // Each track keeps its own sound: 440 Hz and 550 Hz.
        EXPECT_NEAR(Listen(Out(output), 0, 0.5).PitchHz, 440, 15);
        EXPECT_NEAR(Listen(Out(output), 1, 0.5).PitchHz, 550, 15);
        // MPEG-TS has no place for a track's title; Matroska keeps it as the title, MP4
        // as the name of the track's handler (the libraries read its own title box not).
        if (std::string(output) != "t.ts") {
            const bool mp4 = std::string(output) == "t.mp4";
            EXPECT_EQ(mp4 ? sound[0]->Handler : sound[0]->Title, "English");
            EXPECT_EQ(mp4 ? sound[1]->Handler : sound[1]->Title, "Commentaire");
        }
        if (std::string(output) == "t.mkv") {
            EXPECT_FALSE(sound[0]->Disposition & AV_DISPOSITION_DEFAULT);
            EXPECT_TRUE(sound[1]->Disposition & AV_DISPOSITION_DEFAULT);
        }
    }
}

TEST_F(KeepStreamsTest, OneTrackContainersGetTheTrackMarkedDefault)
{
    struct Case {
        const char* input;
        const char* output;
        double pitch;
    };
    const Case cases[] = {
        {"two_languages.mkv", "d.avi", 550},   // the second track is marked default
        {"two_languages.mkv", "d.mp3", 550},
        {"two_languages.mp4", "e.avi", 440},   // the first
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        const TFile f = Converted(c.input, {}, c.output, std::string(c.output).ends_with(".mp3") ? TOptionList{} : VideoProfile);
        ASSERT_TRUE(f.Ok);
        EXPECT_EQ(f.Count(AVMEDIA_TYPE_AUDIO), 1);
        EXPECT_NEAR(Listen(Out(c.output), 0, 0.5).PitchHz, c.pitch, 15);
        // The file's title is the file's, never a dropped track's.
        const auto title = f.Tags.find("title");
        if (title != f.Tags.end()) {
            EXPECT_EQ(title->second, "Two Languages");
        }
    }
    EXPECT_TRUE(sink.HasPrefix("1 sound track not kept: the container takes one"));
}

// A 5.1 or 7.1 tone that moves from channel to channel every half second: in stereo
// each source channel arrives where the standard down-mix puts it.
TEST_F(KeepStreamsTest, SurroundBecomesStereoByTheStandardDownMix)
{
    const double h = std::sqrt(0.5);   // -3 dB
    // Share of each source channel in (left, right), in the layouts' channel order.
    const std::vector<std::pair<double, double>> fiveOne = {{1, 0}, {0, 1}, {h, h}, {0, 0}, {h, 0}, {0, h}};
    const std::vector<std::pair<double, double>> sevenOne = {{1, 0}, {0, 1}, {h, h}, {0, 0},
                                                             {h, 0}, {0, h}, {h, 0}, {0, h}};
    struct Case {
        const char* input;
        const std::vector<std::pair<double, double>>* shares;
    };
    for (const Case& c : {Case{"surround_51.mkv", &fiveOne}, Case{"surround_71.mkv", &sevenOne}}) {
        SCOPED_TRACE(c.input);
        const TFile f = Converted(c.input, {}, "s.wav", {{"ac", "2"}, {"ar", "48000"}});
        ASSERT_EQ(f.Count(AVMEDIA_TYPE_AUDIO), 1);
        EXPECT_EQ(f.Tracks[0].Channels, 2);
        const TSound sound = Listen(Out("s.wav"), 0, 0.5);
        ASSERT_GE(sound.Levels.size(), c.shares->size());
        // The front left channel sets the scale: the mix may lower every channel alike.
        const double unit = sound.Levels[0][0];
        EXPECT_GT(unit, 0.05);
        for (std::size_t k = 0; k < c.shares->size(); ++k) {
            SCOPED_TRACE("source channel " + std::to_string(k));
            EXPECT_NEAR(sound.Levels[k][0] / unit, (*c.shares)[k].first, 0.03);
            EXPECT_NEAR(sound.Levels[k][1] / unit, (*c.shares)[k].second, 0.03);
        }
        EXPECT_LT(sound.Peak, 1.0);
    }
}

TEST_F(KeepStreamsTest, SixChannelsKeepTheSurroundLayout)
{
    for (const char* codec : {"aac", "ac3", "flac", "libopus"}) {
        SCOPED_TRACE(codec);
        const TFile f = Converted("surround_51.mkv", {}, "six.mkv", {{"acodec", codec}, {"ac", "6"}, {"ar", "48000"}});
        ASSERT_EQ(f.Count(AVMEDIA_TYPE_AUDIO), 1);
        EXPECT_EQ(f.Tracks[0].Channels, 6);
        EXPECT_TRUE(f.Tracks[0].Layout == AV_CH_LAYOUT_5POINT1 || f.Tracks[0].Layout == AV_CH_LAYOUT_5POINT1_BACK)
            << std::hex << f.Tracks[0].Layout;
        // The centre's tone is still in the centre.
        const TSound sound = Listen(Out("six.mkv"), 0, 0.5);
        ASSERT_GE(sound.Levels.size(), 3u);
        EXPECT_GT(sound.Levels[2][2], 0.1);
        EXPECT_LT(sound.Levels[2][0], 0.02);
    }
}

TEST_F(KeepStreamsTest, TextSubtitlesGoIntoContainersThatTakeText)
{
    struct Case {
        const char* input;
        TOptionList inputOptions;
        const char* output;
        std::vector<AVCodecID> codecs;
        std::vector<std::string> languages;
    };
    const Case cases[] = {
        {"subtitles_chapters.mkv", {}, "s.mkv", {AV_CODEC_ID_SUBRIP, AV_CODEC_ID_ASS}, {"eng", "fre"}},
        {"subtitles_chapters.mkv", {}, "s.mp4", {AV_CODEC_ID_MOV_TEXT, AV_CODEC_ID_MOV_TEXT}, {"eng", "fre"}},
        {"subtitles_chapters.mkv", {{"vn", "1"}}, "s.webm", {AV_CODEC_ID_WEBVTT, AV_CODEC_ID_WEBVTT}, {"eng", "fre"}},
        {"timed_text.mp4", {}, "t.mkv", {AV_CODEC_ID_ASS}, {"eng"}},
        {"timed_text.mp4", {}, "t.mov", {AV_CODEC_ID_MOV_TEXT}, {"eng"}},
        {"subtitles_chapters.mkv", {}, "s.avi", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        const bool webm = std::string(c.output).ends_with(".webm");
        const TFile f = Converted(c.input, c.inputOptions, c.output,
                                  webm ? TOptionList{{"acodec", "libvorbis"}} : VideoProfile);
        ASSERT_TRUE(f.Ok);
        const auto subtitles = f.Of(AVMEDIA_TYPE_SUBTITLE);
        ASSERT_EQ(subtitles.size(), c.codecs.size());
        for (std::size_t k = 0; k < subtitles.size(); ++k) {
            EXPECT_EQ(subtitles[k]->Codec, c.codecs[k]);
            EXPECT_EQ(subtitles[k]->Language, c.languages[k]);
            ASSERT_EQ(subtitles[k]->Times.size(), 2u);
            // Within a picture's time of where the source shows them.
            EXPECT_NEAR(subtitles[k]->Times[0], 0.2, 0.02);
            EXPECT_NEAR(subtitles[k]->Times[1], 1.0, 0.02);
        }
    }
    EXPECT_TRUE(sink.HasPrefix("2 subtitle tracks not kept: the container takes none"));
}

// A section from 0.5 s to 1.5 s of the source: cues and chapters move with it.
TEST_F(KeepStreamsTest, TrimMovesSubtitlesAndChapters)
{
    for (const char* output : {"trim.mkv", "trim.mp4"}) {
        SCOPED_TRACE(output);
        const TFile f = Converted("subtitles_chapters.mkv", {{"ss", "0.5"}}, output, {{"vcodec", "mpeg4"}, {"t", "1"}});
        ASSERT_TRUE(f.Ok);
        const auto subtitles = f.Of(AVMEDIA_TYPE_SUBTITLE);
        ASSERT_EQ(subtitles.size(), 2u);
        // The second cue moves to 0.5 s. The first (0.2 s to 0.8 s) is on screen when
        // the section begins: it is shown from the start for the rest of its time, also
        // where the seek to the start passed it (a Matroska seek goes past it).
        for (const TTrack* track : subtitles) {
            ASSERT_EQ(track->Times.size(), 2u);
            EXPECT_NEAR(track->Times[0], 0.0, 0.02);
            EXPECT_NEAR(track->Lengths[0], 0.3, 0.02);
            EXPECT_NEAR(track->Times[1], 0.5, 0.02);
            EXPECT_NEAR(track->Lengths[1], 0.6, 0.02);
        }
        ASSERT_EQ(f.Chapters.size(), 3u);
        const TChapter expected[] = {{0, 0.2, "Opening"}, {0.2, 0.9, "Middle"}, {0.9, 1.0, "End"}};
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(f.Chapters[k].Start, expected[k].Start, 0.01) << k;
            EXPECT_NEAR(f.Chapters[k].End, expected[k].End, 0.01) << k;
            EXPECT_EQ(f.Chapters[k].Title, expected[k].Title);
        }
    }
}

TEST_F(KeepStreamsTest, ChaptersAreKept)
{
    for (const char* output : {"c.mkv", "c.mp4"}) {
        SCOPED_TRACE(output);
        const TFile f = Converted("subtitles_chapters.mkv", {}, output, VideoProfile);
        ASSERT_EQ(f.Chapters.size(), 3u);
        EXPECT_EQ(f.Chapters[1].Title, "Middle");
        EXPECT_NEAR(f.Chapters[1].Start, 0.7, 0.01);
        EXPECT_NEAR(f.Chapters[1].End, 1.4, 0.01);
    }
}

// A FLAC's tags, COMMENT among them, in each container's own form.
TEST_F(KeepStreamsTest, SongTagsAreKeptInEveryContainer)
{
    const std::map<std::string, std::string> source = {{"title", "Covered"}, {"artist", "Larkspire"},
                                                       {"album", "Pictures"}, {"date", "2011"},
                                                       {"track", "3"},       {"genre", "Ambient"},
                                                       {"comment", "kept in every copy"}};
    for (const char* output : {"g.mp3", "g.m4a", "g.ogg", "g.mka", "g.flac"}) {
        SCOPED_TRACE(output);
        const TFile f = Converted("cover.flac", {}, output, {});
        for (const auto& [key, value] : source) {
            auto tag = f.Tags.find(key);
            if (tag == f.Tags.end() && key == "track") tag = f.Tags.find("tracknumber");
            if (tag == f.Tags.end() && key == "comment") tag = f.Tags.find("description");
            EXPECT_TRUE(tag != f.Tags.end() && tag->second.rfind(value, 0) == 0) << key;
        }
    }
}

// "film.srt" and "film.en.srt" beside the source become subtitle tracks, on the
// source's time line.
TEST_F(KeepStreamsTest, SideCarSubtitleFilesAreAdded)
{
    struct Case {
        const char* input;
        TOptionList inputOptions;
        const char* output;
        AVCodecID codec;
        const char* language;
        double first, second;
    };
    const Case cases[] = {
        {"sidecar.avi", {}, "a.mkv", AV_CODEC_ID_SUBRIP, "", 0.2, 1.0},
        {"sidecar_lang.avi", {}, "b.mkv", AV_CODEC_ID_SUBRIP, "eng", 0.2, 1.0},
        {"sidecar_lang.avi", {}, "b.mp4", AV_CODEC_ID_MOV_TEXT, "eng", 0.2, 1.0},
        {"sidecar_lang.avi", {{"ss", "0.5"}}, "c.mkv", AV_CODEC_ID_SUBRIP, "eng", 0.0, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        const TFile f = Converted(c.input, c.inputOptions, c.output, VideoProfile);
        const auto subtitles = f.Of(AVMEDIA_TYPE_SUBTITLE);
        ASSERT_EQ(subtitles.size(), 1u);
        EXPECT_EQ(subtitles[0]->Codec, c.codec);
        EXPECT_EQ(subtitles[0]->Language, c.language);
        ASSERT_EQ(subtitles[0]->Times.size(), 2u);
        EXPECT_NEAR(subtitles[0]->Times[0], c.first, 0.02);
        EXPECT_NEAR(subtitles[0]->Times[1], c.second, 0.02);
        EXPECT_EQ(f.Count(AVMEDIA_TYPE_VIDEO), 1);
        EXPECT_EQ(f.Count(AVMEDIA_TYPE_AUDIO), 1);
    }
    // Into a container without subtitles nothing is added, and the log says so.
    const TFile f = Converted("sidecar.avi", {}, "d.avi", VideoProfile);
    EXPECT_EQ(f.Count(AVMEDIA_TYPE_SUBTITLE), 0);
    EXPECT_TRUE(sink.HasPrefix("1 subtitle track not kept: the container takes none"));
}

// The day a film was recorded stays, unless the user gives another.
TEST_F(KeepStreamsTest, RecordingDateIsKept)
{
    for (const char* output : {"r.mp4", "r.mkv", "r.mov"}) {
        SCOPED_TRACE(output);
        TOptionList options = VideoProfile;
        options.push_back({"timestamp", "now"});   // what the job builder asks for
        const TFile f = Converted("two_languages.mp4", {}, output, options);
        EXPECT_EQ(f.Tags.count("creation_time") ? f.Tags.at("creation_time").substr(0, 19) : "", "2019-05-04T10:20:30");
    }
    TOptionList options = VideoProfile;
    options.push_back({"timestamp", "2020-01-02T03:04:05Z"});
    const TFile f = Converted("two_languages.mp4", {}, "given.mp4", options);
    EXPECT_EQ(f.Tags.count("creation_time") ? f.Tags.at("creation_time").substr(0, 19) : "", "2020-01-02T03:04:05");
}

// Picture subtitles cannot become text: Matroska keeps them as they are, the others
// leave them out and say so.
TEST_F(KeepStreamsTest, PictureSubtitlesAreCopiedIntoMatroskaOnly)
{
    TFile f = Converted("dvd_subtitles.mkv", {}, "p.mkv", VideoProfile);
    auto subtitles = f.Of(AVMEDIA_TYPE_SUBTITLE);
    ASSERT_EQ(subtitles.size(), 2u);
    EXPECT_EQ(subtitles[0]->Codec, AV_CODEC_ID_DVD_SUBTITLE);
    EXPECT_EQ(subtitles[0]->Language, "eng");
    EXPECT_EQ(subtitles[0]->Times.size(), 2u);
    EXPECT_EQ(subtitles[1]->Codec, AV_CODEC_ID_SUBRIP);
    EXPECT_FALSE(sink.HasPrefix("1 subtitle track not kept"));

    f = Converted("dvd_subtitles.mkv", {}, "p.mp4", VideoProfile);
    subtitles = f.Of(AVMEDIA_TYPE_SUBTITLE);
    ASSERT_EQ(subtitles.size(), 1u);
    EXPECT_EQ(subtitles[0]->Codec, AV_CODEC_ID_MOV_TEXT);
    EXPECT_EQ(subtitles[0]->Language, "fre");
    EXPECT_TRUE(sink.Has("1 subtitle track not kept: the container takes no picture subtitles"));
}

// The sound track the user chose goes into a container of one track, whatever the
// source marks as default; containers of several still keep every track.
TEST_F(KeepStreamsTest, TheChosenSoundTrackGoesIntoOneTrackContainers)
{
    struct Case {
        const char* input;
        const char* track;
        const char* output;
        int tracks;
        double pitch;   // of the output's first sound track
    };
    const Case cases[] = {
        {"two_languages.mkv", "0", "e.avi", 1, 440},   // English, where French is the default
        {"two_languages.mkv", "0", "e.mp3", 1, 440},
        {"two_languages.mp4", "1", "g.avi", 1, 550},   // Deutsch, the second
        {"two_languages.mkv", "7", "x.avi", 1, 550},   // no such track: the default one
        {"two_languages.mkv", "0", "both.mkv", 2, 440},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " track " + c.track + " -> " + c.output);
        TOptionList options = std::string(c.output).ends_with(".mp3") ? TOptionList{} : VideoProfile;
        options.emplace_back("atrack", c.track);
        const TFile f = Converted(c.input, {}, c.output, options);
        ASSERT_TRUE(f.Ok);
        EXPECT_EQ(f.Count(AVMEDIA_TYPE_AUDIO), c.tracks);
        // The tracks are 110 Hz apart; the coders' silent lead-in lowers the count a little.
        EXPECT_NEAR(Listen(Out(c.output), 0, 0.5).PitchHz, c.pitch, 30);
    }
    // Ogg keeps the track's tags with its sound: they are the chosen track's.
    const TFile f = Converted("two_languages.mkv", {}, "tags.ogg", {{"acodec", "libvorbis"}, {"atrack", "0"}});
    const auto sounds = f.Of(AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(sounds.size(), 1u);
    EXPECT_EQ(sounds[0]->Language, "eng");
    EXPECT_EQ(sounds[0]->Title, "English");
}

// A subtitle track drawn into the picture: the clip's white boxes over the top half
// appear in the pictures of their cues' time only (0.2 to 0.8 s and 1.0 to 1.6 s of the
// source), also when the section begins later; the drawn track is not kept as a track.
TEST_F(KeepStreamsTest, BurntSubtitlesAreDrawnInTheirCuesTimeOnly)
{
    if (!av::avfilter_get_by_name("subtitles")) GTEST_SKIP() << "the libraries draw no subtitles here";
    struct Case {
        const char* track;
        TOptionList inputOptions;
        const char* output;
        double shift;   // the section's start in the source
        bool drawn;     // the boxes track (the words sit at the bottom, outside the top half)
        const char* copyAs = nullptr;   // the source under a name of its own
    };
    const Case cases[] = {
        {"1", {}, "boxes.mkv", 0, true},
        {"1", {{"ss", "0.5"}}, "boxes_trim.mp4", 0.5, true},
        {"0", {}, "words.mkv", 0, false},
        // The renderer opens the file itself: its name passes through the filter chain's text.
        {"1", {}, "odd.mkv", 0, true, "it's: a, [name]; 50% \\ done.mkv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        TOptionList options = VideoProfile;
        options.emplace_back("burnsubs", c.track);
        std::string source = "box_cues.mkv";
        if (c.copyAs) {
            source = Out(c.copyAs);
            std::filesystem::copy_file(MediaFile("box_cues.mkv"), source);
        }
        const TFile f = Converted(source, c.inputOptions, c.output, options);
        ASSERT_TRUE(f.Ok);
        // The other track stays a track; the drawn one is only in the picture.
        const auto subtitles = f.Of(AVMEDIA_TYPE_SUBTITLE);
        ASSERT_EQ(subtitles.size(), 1u);
        EXPECT_EQ(subtitles[0]->Language, c.track[0] == '1' ? "eng" : "zxx");
        const auto pictures = TopLuma(Out(c.output));
        ASSERT_GE(pictures.size(), 30u);
        int bright = 0;
        for (const auto& [time, luma] : pictures) {
            const double source = time + c.shift;
            const bool inCue = (source >= 0.2 && source < 0.8) || (source >= 1.0 && source < 1.6);
            // A picture's time away from the cues' edges.
            const bool nearEdge = std::fabs(source - 0.2) < 0.05 || std::fabs(source - 0.8) < 0.05 ||
                                  std::fabs(source - 1.0) < 0.05 || std::fabs(source - 1.6) < 0.05;
            if (nearEdge) continue;
            if (c.drawn && inCue) {
                EXPECT_GT(luma, 180) << "at " << time;
                ++bright;
            } else {
                EXPECT_LT(luma, 70) << "at " << time;
            }
        }
        if (c.drawn) {
            EXPECT_GT(bright, 10);
        }
    }
}

}  // namespace
