// Makes the application's pictures from their text sources at build time.
//   make_pictures pictures SOURCE_DIR OUT_DIR   every SOURCE_DIR/*.svg as OUT_DIR/<name>.png at
//                                               its own size; Converting.svg becomes the animated
//                                               Converting.gif (a turning ring drawn over it)
//   make_pictures icon SVG SIZE OUT_PNG         one square rendering of SVG
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>
#include <cstdio>
#include <vector>

#include "tools/GifWriter.h"

namespace {

QImage Render(QSvgRenderer& svg, QSize size, bool opaque)
{
    QImage image(size, opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    image.fill(opaque ? Qt::white : Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
    return image;
}

// Twelve dots on a circle, the brightest one a step further each frame.
constexpr int SpinnerFrames = 12;

QImage SpinnerFrame(const QImage& background, int frame)
{
    QImage image = background;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QPointF centre(image.width() / 2.0, image.height() * 0.42);
    const double radius = image.height() * 0.24;
    for (int i = 0; i < SpinnerFrames; ++i) {
        const int age = (frame - i + SpinnerFrames) % SpinnerFrames;  // 0 = the leading dot
        const double angle = (i * 360.0 / SpinnerFrames - 90) * M_PI / 180;
        QColor colour(0xe7, 0x6f, 0x51);  // the set's accent
        colour.setAlphaF(1.0 - age * 0.075);
        painter.setBrush(colour);
        const double dot = age == 0 ? 7.0 : 5.5;
        painter.drawEllipse(centre + QPointF(std::cos(angle) * radius, std::sin(angle) * radius), dot, dot);
    }
    return image;
}

bool MakePictures(const QString& sourceDir, const QString& outDir)
{
    QDir().mkpath(outDir);
    const QFileInfoList sources = QDir(sourceDir).entryInfoList({"*.svg"}, QDir::Files, QDir::Name);
    for (const QFileInfo& source : sources) {
        QSvgRenderer svg(source.filePath());
        if (!svg.isValid()) {
            std::fprintf(stderr, "make_pictures: %s: not a picture\n", qPrintable(source.filePath()));
            return false;
        }
        if (source.baseName() == "Converting") {
            const QImage background = Render(svg, svg.defaultSize(), true);
            std::vector<QImage> frames;
            for (int i = 0; i < SpinnerFrames; ++i) frames.push_back(SpinnerFrame(background, i));
            QString error;
            if (!kv::tools::WriteAnimatedGif(outDir + "/Converting.gif", frames, 8, &error)) {
                std::fprintf(stderr, "make_pictures: Converting.gif: %s\n", qPrintable(error));
                return false;
            }
            continue;
        }
        const QString out = outDir + "/" + source.baseName() + ".png";
        if (!Render(svg, svg.defaultSize(), false).save(out, "PNG")) {
            std::fprintf(stderr, "make_pictures: cannot write %s\n", qPrintable(out));
            return false;
        }
    }
    return true;
}

bool MakeIcon(const QString& source, int size, const QString& out)
{
    QSvgRenderer svg(source);
    if (!svg.isValid() || size <= 0) {
        std::fprintf(stderr, "make_pictures: %s: not a picture\n", qPrintable(source));
        return false;
    }
    QDir().mkpath(QFileInfo(out).absolutePath());
    if (!Render(svg, QSize(size, size), false).save(out, "PNG")) {
        std::fprintf(stderr, "make_pictures: cannot write %s\n", qPrintable(out));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    // Text in the pictures needs the font database, which needs an application; no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == "pictures") return MakePictures(args[2], args[3]) ? 0 : 1;
    if (args.size() == 5 && args[1] == "icon") return MakeIcon(args[2], args[3].toInt(), args[4]) ? 0 : 1;
    std::fprintf(stderr, "usage: make_pictures pictures SOURCE_DIR OUT_DIR\n"
                         "       make_pictures icon SVG SIZE OUT_PNG\n");
    return 2;
}
