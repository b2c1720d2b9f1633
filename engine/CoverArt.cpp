// Cover art from a picture stream of the source into the output.
#include "engine/CoverArt.h"

#include <cstring>
#include <string>
#include <vector>

#include "engine/StreamChoice.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/AvHandles.h"

namespace kv::engine {

namespace {

const AVStream* SourceCover(const TCustomFFmpeg& task)
{
    for (int f = 0; f < task.InputFileCount; ++f)
        for (unsigned s = 0; task.InputFiles[f] && s < task.InputFiles[f]->nb_streams; ++s) {
            const AVStream* st = task.InputFiles[f]->streams[s];
            if (IsCoverArt(st) && st->attached_pic.size > 0) return st;
        }
    return nullptr;
}

bool Named(const AVOutputFormat* format, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        if (std::strcmp(format->name, name) == 0) return true;
    return false;
}

const char* MimeType(AVCodecID id)
{
    return id == AV_CODEC_ID_PNG ? "image/png" : id == AV_CODEC_ID_BMP ? "image/bmp" : "image/jpeg";
}

void PutBigEndian(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// The picture block of FLAC, which Ogg's comments carry in base64.
std::string PictureComment(const AVStream* cover)
{
    const std::string mime = MimeType(cover->codecpar->codec_id);
    std::vector<std::uint8_t> block;
    PutBigEndian(block, 3);   // front cover
    PutBigEndian(block, static_cast<std::uint32_t>(mime.size()));
    block.insert(block.end(), mime.begin(), mime.end());
    PutBigEndian(block, 0);   // no description
    PutBigEndian(block, static_cast<std::uint32_t>(cover->codecpar->width));
    PutBigEndian(block, static_cast<std::uint32_t>(cover->codecpar->height));
    PutBigEndian(block, 24);
    PutBigEndian(block, 0);
    PutBigEndian(block, static_cast<std::uint32_t>(cover->attached_pic.size));
    block.insert(block.end(), cover->attached_pic.data, cover->attached_pic.data + cover->attached_pic.size);
    std::string text(AV_BASE64_SIZE(block.size()), '\0');
    if (!av::av_base64_encode(text.data(), static_cast<int>(text.size()), block.data(), static_cast<int>(block.size())))
        return {};
    text.resize(std::strlen(text.c_str()));
    return text;
}

bool HasSound(const AVFormatContext* oc)
{
    for (unsigned s = 0; s < oc->nb_streams; ++s)
        if (oc->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return true;
    return false;
}

}  // namespace

int AddCoverArt(TCustomFFmpeg& task, AVFormatContext* oc)
{
    const AVStream* cover = SourceCover(task);
    if (!cover || !UsesDefaultMapping(task) || task.VideoStreamCopy || !HasSound(oc)) return -1;
    const AVOutputFormat* format = oc->oformat;
    const AVCodecID id = cover->codecpar->codec_id;
    const bool picture = id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_PNG;
    if (Named(format, {"ogg", "oga", "opus"})) {
        const std::string comment = picture ? PictureComment(cover) : std::string();
        for (unsigned s = 0; !comment.empty() && s < oc->nb_streams; ++s)
            if (oc->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                av::av_dict_set(&oc->streams[s]->metadata, "METADATA_BLOCK_PICTURE", comment.c_str(), 0);
        return -1;
    }
    if (Named(format, {"matroska"})) {
        // An attachment: the file itself, with a name and a type, and no packets.
        AVStream* st = av::avformat_new_stream(oc, nullptr);
        if (!st) return -1;
        st->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
        st->codecpar->codec_id = id == AV_CODEC_ID_PNG ? AV_CODEC_ID_PNG : AV_CODEC_ID_MJPEG;
        st->codecpar->extradata =
            static_cast<std::uint8_t*>(av::av_mallocz(cover->attached_pic.size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!st->codecpar->extradata) return -1;
        std::memcpy(st->codecpar->extradata, cover->attached_pic.data, cover->attached_pic.size);
        st->codecpar->extradata_size = cover->attached_pic.size;
        av::av_dict_set(&st->metadata, "filename", id == AV_CODEC_ID_PNG ? "cover.png" : "cover.jpg", 0);
        av::av_dict_set(&st->metadata, "mimetype", MimeType(id), 0);
        return -1;
    }
    if (!picture || !Named(format, {"mp3", "mp4", "ipod", "mov", "flac"})) return -1;
    AVStream* st = av::avformat_new_stream(oc, nullptr);
    if (!st || av::avcodec_parameters_copy(st->codecpar, cover->codecpar) < 0) return -1;
    st->codecpar->codec_tag = 0;
    st->disposition = AV_DISPOSITION_ATTACHED_PIC;
    st->time_base = {1, 90000};
    av::av_dict_copy(&st->metadata, cover->metadata, 0);
    return st->index;
}

void WriteCoverArt(TCustomFFmpeg& task, AVFormatContext* oc, int stream)
{
    const AVStream* cover = stream >= 0 ? SourceCover(task) : nullptr;
    if (!cover) return;
    const media::PacketHandle owned(av::av_packet_alloc());
    AVPacket* pkt = owned.get();
    if (pkt && av::av_packet_ref(pkt, &cover->attached_pic) >= 0) {
        pkt->stream_index = stream;
        pkt->pts = pkt->dts = 0;
        pkt->duration = 0;
        pkt->pos = -1;
        pkt->flags |= AV_PKT_FLAG_KEY;
        // A cover the muxer refuses costs the cover, not the conversion.
        if (av::av_interleaved_write_frame(oc, pkt) < 0) task.Log(llError, "The cover picture could not be written");
    }
}

}  // namespace kv::engine
