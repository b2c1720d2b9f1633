#include "tools/GifWriter.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>

namespace kv::tools {

namespace {

using TPalette = std::vector<QRgb>;

struct TColourCount {
    QRgb Colour;
    std::uint32_t Count;
};

int Channel(QRgb c, int channel)
{
    return channel == 0 ? qRed(c) : channel == 1 ? qGreen(c) : qBlue(c);
}

// A box of the median cut: a range of the colour table.
struct TBox {
    std::size_t Begin, End;
    int WidestChannel = 0;
    int Width = 0;
};

void Measure(const std::vector<TColourCount>& colours, TBox& box)
{
    std::array<int, 3> lo{255, 255, 255}, hi{0, 0, 0};
    for (std::size_t i = box.Begin; i < box.End; ++i)
        for (int c = 0; c < 3; ++c) {
            lo[c] = std::min(lo[c], Channel(colours[i].Colour, c));
            hi[c] = std::max(hi[c], Channel(colours[i].Colour, c));
        }
    box.Width = -1;
    for (int c = 0; c < 3; ++c)
        if (hi[c] - lo[c] > box.Width) {
            box.Width = hi[c] - lo[c];
            box.WidestChannel = c;
        }
}

// At most 256 colours standing for every colour of the frames, weighted by use.
TPalette MakePalette(std::vector<TColourCount> colours)
{
    std::vector<TBox> boxes{{0, colours.size()}};
    Measure(colours, boxes[0]);
    while (boxes.size() < 256) {
        auto widest = std::max_element(boxes.begin(), boxes.end(), [](const TBox& a, const TBox& b) {
            return (a.End - a.Begin > 1 ? a.Width : -1) < (b.End - b.Begin > 1 ? b.Width : -1);
        });
        if (widest->End - widest->Begin < 2 || widest->Width <= 0) break;
        TBox box = *widest;
        const int c = box.WidestChannel;
        std::sort(colours.begin() + static_cast<std::ptrdiff_t>(box.Begin),
                  colours.begin() + static_cast<std::ptrdiff_t>(box.End),
                  [c](const TColourCount& a, const TColourCount& b) { return Channel(a.Colour, c) < Channel(b.Colour, c); });
        std::uint64_t total = 0;
        for (std::size_t i = box.Begin; i < box.End; ++i) total += colours[i].Count;
        // Split at the weighted median, keeping at least one colour on each side.
        std::uint64_t running = 0;
        std::size_t split = box.Begin + 1;
        for (std::size_t i = box.Begin; i < box.End - 1; ++i) {
            running += colours[i].Count;
            split = i + 1;
            if (running * 2 >= total) break;
        }
        TBox low{box.Begin, split}, high{split, box.End};
        Measure(colours, low);
        Measure(colours, high);
        *widest = low;
        boxes.push_back(high);
    }
    TPalette palette;
    for (const TBox& box : boxes) {
        std::uint64_t r = 0, g = 0, b = 0, n = 0;
        for (std::size_t i = box.Begin; i < box.End; ++i) {
            const std::uint64_t w = colours[i].Count;
            r += qRed(colours[i].Colour) * w;
            g += qGreen(colours[i].Colour) * w;
            b += qBlue(colours[i].Colour) * w;
            n += w;
        }
        palette.push_back(qRgb(static_cast<int>((r + n / 2) / n), static_cast<int>((g + n / 2) / n),
                               static_cast<int>((b + n / 2) / n)));
    }
    return palette;
}

std::uint8_t Nearest(const TPalette& palette, QRgb c)
{
    int best = 0;
    int bestDistance = INT32_MAX;
    for (std::size_t i = 0; i < palette.size(); ++i) {
        const int dr = qRed(c) - qRed(palette[i]), dg = qGreen(c) - qGreen(palette[i]), db = qBlue(c) - qBlue(palette[i]);
        const int d = dr * dr * 3 + dg * dg * 4 + db * db * 2;
        if (d < bestDistance) {
            bestDistance = d;
            best = static_cast<int>(i);
        }
    }
    return static_cast<std::uint8_t>(best);
}

// Variable-length codes packed from the lowest bit up, as GIF stores them.
class TBitSink {
public:
    explicit TBitSink(std::vector<std::uint8_t>& out) : FOut(out) {}
    void Put(int code, int size)
    {
        FAcc |= static_cast<std::uint32_t>(code) << FBits;
        FBits += size;
        while (FBits >= 8) {
            FOut.push_back(static_cast<std::uint8_t>(FAcc & 0xff));
            FAcc >>= 8;
            FBits -= 8;
        }
    }
    void Flush()
    {
        if (FBits > 0) FOut.push_back(static_cast<std::uint8_t>(FAcc & 0xff));
        FAcc = 0;
        FBits = 0;
    }

private:
    std::vector<std::uint8_t>& FOut;
    std::uint32_t FAcc = 0;
    int FBits = 0;
};

constexpr int MinCodeSize = 8;
constexpr int MaxCodes = 4096;

// LZW of one frame's palette indexes.
std::vector<std::uint8_t> Compress(const std::vector<std::uint8_t>& indexes)
{
    std::vector<std::uint8_t> out;
    TBitSink sink(out);
    const int clearCode = 1 << MinCodeSize, endCode = clearCode + 1;
    int codeSize = MinCodeSize + 1;
    int next = endCode + 1;
    std::unordered_map<std::uint32_t, int> table;
    sink.Put(clearCode, codeSize);
    int prefix = indexes.front();
    for (std::size_t i = 1; i < indexes.size(); ++i) {
        const std::uint32_t key = static_cast<std::uint32_t>(prefix) << 8 | indexes[i];
        const auto found = table.find(key);
        if (found != table.end()) {
            prefix = found->second;
            continue;
        }
        sink.Put(prefix, codeSize);
        if (next < MaxCodes) {
            table.emplace(key, next++);
            // The reader adds its entry one code later, so it widens one code later too.
            if (next > (1 << codeSize) && codeSize < 12) ++codeSize;
        } else {
            sink.Put(clearCode, codeSize);
            table.clear();
            codeSize = MinCodeSize + 1;
            next = endCode + 1;
        }
        prefix = indexes[i];
    }
    sink.Put(prefix, codeSize);
    sink.Put(endCode, codeSize);
    sink.Flush();
    return out;
}

void PutWord(std::vector<std::uint8_t>& out, int value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xff));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xff));
}

void PutBlocks(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& data)
{
    for (std::size_t at = 0; at < data.size(); at += 255) {
        const std::size_t n = std::min<std::size_t>(255, data.size() - at);
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    out.push_back(0);
}

}  // namespace

bool WriteAnimatedGif(const QString& path, const std::vector<QImage>& frames, int delayCs, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error) *error = why;
        return false;
    };
    if (frames.empty() || frames.front().isNull()) return fail("no frames");
    const QSize size = frames.front().size();
    if (size.width() > 65535 || size.height() > 65535) return fail("frame too large");

    std::vector<QImage> rgb;
    std::unordered_map<QRgb, std::uint32_t> histogram;
    for (const QImage& frame : frames) {
        if (frame.size() != size) return fail("frames differ in size");
        rgb.push_back(frame.convertToFormat(QImage::Format_RGB32));
        for (int y = 0; y < size.height(); ++y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(rgb.back().constScanLine(y));
            for (int x = 0; x < size.width(); ++x) ++histogram[line[x] | 0xff000000u];
        }
    }
    std::vector<TColourCount> colours;
    for (const auto& [colour, count] : histogram) colours.push_back({colour, count});
    // A fixed order keeps the output the same from build to build.
    std::sort(colours.begin(), colours.end(), [](const TColourCount& a, const TColourCount& b) { return a.Colour < b.Colour; });
    const TPalette palette = MakePalette(colours);

    std::vector<std::uint8_t> out{'G', 'I', 'F', '8', '9', 'a'};
    PutWord(out, size.width());
    PutWord(out, size.height());
    out.push_back(0xf7);  // global table of 256 entries, 8 bits per primary
    out.push_back(0);     // background colour
    out.push_back(0);     // square pixels
    for (int i = 0; i < 256; ++i) {
        const QRgb c = i < static_cast<int>(palette.size()) ? palette[static_cast<std::size_t>(i)] : qRgb(0, 0, 0);
        out.push_back(static_cast<std::uint8_t>(qRed(c)));
        out.push_back(static_cast<std::uint8_t>(qGreen(c)));
        out.push_back(static_cast<std::uint8_t>(qBlue(c)));
    }
    // Loop forever.
    const char loop[] = "\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00";
    out.insert(out.end(), loop, loop + sizeof loop - 1);

    std::unordered_map<QRgb, std::uint8_t> lookup;
    std::vector<std::uint8_t> indexes(static_cast<std::size_t>(size.width()) * static_cast<std::size_t>(size.height()));
    for (const QImage& frame : rgb) {
        std::size_t at = 0;
        for (int y = 0; y < size.height(); ++y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
            for (int x = 0; x < size.width(); ++x) {
                const QRgb c = line[x] | 0xff000000u;
                auto found = lookup.find(c);
                if (found == lookup.end()) found = lookup.emplace(c, Nearest(palette, c)).first;
                indexes[at++] = found->second;
            }
        }
        // Graphic control: replace the whole picture, no transparency.
        out.insert(out.end(), {0x21, 0xf9, 0x04, 0x04});
        PutWord(out, delayCs);
        out.insert(out.end(), {0x00, 0x00});
        out.push_back(0x2c);
        PutWord(out, 0);
        PutWord(out, 0);
        PutWord(out, size.width());
        PutWord(out, size.height());
        out.push_back(0);
        out.push_back(MinCodeSize);
        PutBlocks(out, Compress(indexes));
    }
    out.push_back(0x3b);

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return fail(file.errorString());
    if (file.write(reinterpret_cast<const char*>(out.data()), static_cast<qint64>(out.size())) !=
        static_cast<qint64>(out.size()))
        return fail(file.errorString());
    return true;
}

}  // namespace kv::tools
