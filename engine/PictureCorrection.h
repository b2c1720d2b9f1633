#pragma once
// Decoded pictures made right before anything else touches them: deinterlaced when
// the source is interlaced, turned upright as the container says, tone-mapped from
// HDR to SDR, their colour matrix and range converted to what the output's size
// class is decoded with; and the colour tags every re-encoded output carries.
#include <string>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

#include "media/AvHandles.h"
#include "media/PictureOrientation.h"

namespace kv::engine {

class TCustomFFmpeg;
struct TInputStream;
struct TOutputStream;

struct TColourTags {
    AVColorPrimaries Primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic Transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorSpace Matrix = AVCOL_SPC_UNSPECIFIED;
    AVColorRange Range = AVCOL_RANGE_UNSPECIFIED;
};

// The pictures as the decoder gives them.
struct TSourcePicture {
    int Width = 0, Height = 0;   // as stored
    int PixelFormat = -1;
    TColourTags Colour;          // as the stream says; unspecified where it is silent
    media::TOrientation Orientation;
    bool Interlaced = false;
    int Parity = -1;             // the deinterlacer's: 0 top field first, 1 bottom, -1 as each picture says
    double PeakNits = 0;         // brightest light the mastering metadata gives; 0 unknown
};

// The pictures as the encoder takes them.
struct TTargetPicture {
    int Width = 0, Height = 0;
    int PixelFormat = -1;
    // The codec's own stream says its colours (H.264, HEVC, VP9, AV1): players read
    // the matrix from it, so a source's matrix can be kept and named instead of converted.
    bool StreamSaysColour = false;
};

struct TCorrectionPlan {
    std::string Deinterlace;   // joining the fields; empty for progressive pictures
    std::string Turn;          // turning and mirroring upright; empty for upright pictures
    std::string Colour;    // tone mapping or matrix and range conversion; empty for none
    TColourTags Output;    // what the output's pictures are and say they are
};

// The tags pictures of this size are decoded with when they carry none: BT.709 for
// HD (720 lines or 1280 columns and more), BT.601 below (its 625-line primaries for
// 576 and 288 lines).
TColourTags SizeClassColour(int width, int height);
TCorrectionPlan PlanCorrection(const TSourcePicture& source, const TTargetPicture& target, bool deinterlace);

struct TPictureShape {
    int Width = 0, Height = 0;
    int PixelFormat = -1;
    AVRational SampleAspect{0, 1};
};

// One input stream's correction graph, from the buffer source to the buffer sink.
struct TPictureCorrection {
    media::FilterGraphHandle Graph;
    AVFilterContext* Source = nullptr;
    AVFilterContext* Sink = nullptr;
    media::FrameHandle Corrected;
    std::string Filters;
    TPictureShape In;    // what the source was made for
    TPictureShape Out;   // what comes out
    int Threads = 1;
};

namespace transcode {

// Decides what the pictures of `ist` need on their way into `ost`'s encoder (not yet
// open), builds it and sets the encoder's colour tags. Raises FFmpegException when
// the libraries cannot make the graph.
void SetupPictureCorrection(TCustomFFmpeg& task, TInputStream& ist, TOutputStream& ost);
// The pixel shape an encoder writes for `wanted`: square for FLV and H.263, the
// nearest of its table for MPEG-1; {0, 1} where it writes any.
AVRational WritablePixelShape(AVCodecID codec, AVRational wanted);
// Where the output cannot say its pixels' shape (FLV's and H.263's pictures have
// square pixels only, MPEG-1 a table of shapes) or is asked for square pixels
// ("keepshape"), the picture keeps its shape inside black bands instead of being
// squeezed: sets `ost`'s pad bands and the pixels' shape written, true when it did.
bool LetterboxWhereShapeIsLost(TCustomFFmpeg& task, TOutputStream& ost);
// A copied stream keeps the source's display matrix: its pictures are not turned.
void KeepDisplayMatrix(const AVStream* in, AVStream* out);
// The pictures of `ist` as the crop, pad, scale and filter steps get them.
TPictureShape DecodedShape(const TInputStream& ist);
// Into the stream's correction (null: the end of the stream); false when the
// picture could not be taken (it is then dropped).
bool PushForCorrection(TInputStream& ist, AVFrame* picture);
// The next corrected picture, or null; it stays valid until the next call.
AVFrame* TakeCorrected(TInputStream& ist);

}  // namespace transcode

}  // namespace kv::engine
