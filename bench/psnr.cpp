// The luma PSNR of a converted clip against its source, picture by picture: both are
// decoded with the media libraries, the converted pictures scaled to the source's size
// where they differ, and the n-th picture of one compared with the n-th of the other.
//   psnr SOURCE CONVERTED
// Prints "PICTURES MEAN_DB WORST_DB": the mean of the pictures' PSNR and the lowest.
// Fails when the two hold different numbers of pictures (they would not pair).
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "LibraryCheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The pictures of a file's first video stream, one at a time, as 8-bit 4:2:0 of a
// given size (the stream's own until Resize).
class TPictureReader {
public:
    explicit TPictureReader(const std::string& path)
    {
        Check(avformat_open_input(&FIn, path.c_str(), nullptr, nullptr), "open");
        Check(avformat_find_stream_info(FIn, nullptr), "stream info");
        const AVCodec* codec = nullptr;
        FStream = av_find_best_stream(FIn, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        Check(FStream, "no picture");
        FDec = avcodec_alloc_context3(codec);
        Check(avcodec_parameters_to_context(FDec, FIn->streams[FStream]->codecpar), "decoder parameters");
        FDec->thread_count = 0;
        Check(avcodec_open2(FDec, codec, nullptr), "open decoder");
        Width = FDec->width, Height = FDec->height;
        FPacket = av_packet_alloc();
        FFrame = av_frame_alloc();
    }
    ~TPictureReader()
    {
        sws_freeContext(FScale);
        av_frame_free(&FFrame);
        av_packet_free(&FPacket);
        avcodec_free_context(&FDec);
        avformat_close_input(&FIn);
    }
    TPictureReader(const TPictureReader&) = delete;
    TPictureReader& operator=(const TPictureReader&) = delete;

    void Resize(int width, int height) { Width = width, Height = height; }

    // The next picture's luma, Width x Height bytes; false at the end.
    bool Next(std::vector<uint8_t>& luma)
    {
        if (!Decode()) return false;
        FScale = sws_getCachedContext(FScale, FFrame->width, FFrame->height, AVPixelFormat(FFrame->format), Width,
                                      Height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!FScale) throw std::runtime_error("cannot scale the pictures");
        std::vector<uint8_t> planes(size_t(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, Width, Height, 1)));
        uint8_t* data[4];
        int lines[4];
        Check(av_image_fill_arrays(data, lines, planes.data(), AV_PIX_FMT_YUV420P, Width, Height, 1), "buffer");
        sws_scale(FScale, FFrame->data, FFrame->linesize, 0, FFrame->height, data, lines);
        luma.assign(planes.begin(), planes.begin() + ptrdiff_t(Width) * Height);
        av_frame_unref(FFrame);
        return true;
    }

    int Width = 0, Height = 0;

private:
    bool Decode()
    {
        for (;;) {
            const int got = avcodec_receive_frame(FDec, FFrame);
            if (got == 0) return true;
            if (got == AVERROR_EOF) return false;
            if (got != AVERROR(EAGAIN)) Check(got, "decode");
            if (FEnded) {
                Check(avcodec_send_packet(FDec, nullptr), "drain");
                continue;
            }
            const int read = av_read_frame(FIn, FPacket);
            if (read == AVERROR_EOF) {
                FEnded = true;
                continue;
            }
            Check(read, "read");
            if (FPacket->stream_index == FStream) Check(avcodec_send_packet(FDec, FPacket), "send packet");
            av_packet_unref(FPacket);
        }
    }

    AVFormatContext* FIn = nullptr;
    AVCodecContext* FDec = nullptr;
    AVPacket* FPacket = nullptr;
    AVFrame* FFrame = nullptr;
    SwsContext* FScale = nullptr;
    int FStream = -1;
    bool FEnded = false;
};

double LumaPsnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    double sum = 0;
    for (size_t k = 0; k < a.size(); ++k) {
        const double d = double(a[k]) - double(b[k]);
        sum += d * d;
    }
    const double mse = sum / double(a.size());
    // Identical pictures: cap at the PSNR of one step of error in every 10^4 samples.
    return 10 * std::log10(255.0 * 255.0 / std::max(mse, 1e-4));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: psnr SOURCE CONVERTED\n");
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    try {
        TPictureReader source(argv[1]), converted(argv[2]);
        converted.Resize(source.Width, source.Height);
        std::vector<uint8_t> a, b;
        int pictures = 0;
        double sum = 0, worst = 1e9;
        for (;;) {
            const bool moreSource = source.Next(a), moreConverted = converted.Next(b);
            if (moreSource != moreConverted)
                throw std::runtime_error("the files hold different numbers of pictures (paired " +
                                         std::to_string(pictures) + ")");
            if (!moreSource) break;
            const double db = LumaPsnr(a, b);
            sum += db, worst = std::min(worst, db), ++pictures;
        }
        if (pictures == 0) throw std::runtime_error("no pictures");
        std::printf("%d %.3f %.3f\n", pictures, sum / pictures, worst);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "psnr: %s\n", e.what());
        return 1;
    }
    return 0;
}
