#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <memory>
#include <thread>

extern "C" {
#include <libavutil/avutil.h>
}

#include "media/Previewer.h"
#include "platform/UiThread.h"
#include "tests/support/WidgetApplication.h"

using namespace kv::media;

namespace {

// The previewer needs a widget application on this (the test's main) thread.
[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new kvtest::WidgetApplicationEnvironment);

TBitmap Filled(int width, int height, QColor colour)
{
    TBitmap bitmap(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = bitmap.ScanLine(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(colour.blue());
            p[1] = static_cast<std::uint8_t>(colour.green());
            p[2] = static_cast<std::uint8_t>(colour.red());
        }
    return bitmap;
}

QColor PixelOf(QWidget* window, int x, int y)
{
    return window->grab().toImage().pixelColor(x, y);
}

TEST(FormatPTS, CaptionsTimeStamps)
{
    struct Case {
        std::int64_t pts;
        const char* caption;
    } cases[] = {
        {3723456789, "01:02:03.456"},
        {AV_NOPTS_VALUE, "N/A"},
        {0, "00:00:00.000"},
        {999, "00:00:00.000"},
        {59999999, "00:00:59.999"},
        {-1500000, "-00:00:01.500"},
        {INT64_MIN + 1, "-2562047788:00:54.775"},
        {360000000000, "100:00:00.000"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatPTS(c.pts), c.caption) << c.pts;
}

TEST(Previewer, ShowsFramesFromAWorkerThread)
{
    // 30 wide: rows of 90 bytes padded to 92, so a stride mistake shears the picture.
    const TBitmap red = Filled(30, 20, Qt::red);
    TBitmap halfBlue = Filled(30, 20, Qt::red);
    for (int y = 0; y < 20; ++y)
        for (int x = 15; x < 30; ++x) halfBlue.ScanLine(y)[3 * x] = 255, halfBlue.ScanLine(y)[3 * x + 2] = 0;

    struct Seen {
        bool visible = false, onTop = false, tool = false;
        QSize size;
        QString title;
        QColor left, right;
    } first, second;
    bool shown[2] = {};
    QPointer<QWidget> window;

    QEventLoop loop;
    std::thread worker([&] {
        auto previewer = std::make_unique<TPreviewer>();
        auto look = [&](Seen& seen) {
            kv::platform::RunOnUiThreadAndWait([&] {
                QWidget* w = previewer->Window();
                window = w;
                seen = {w->isVisible(), bool(w->windowFlags() & Qt::WindowStaysOnTopHint),
                        (w->windowFlags() & Qt::WindowType_Mask) == Qt::Tool, w->size(), w->windowTitle(),
                        PixelOf(w, 5, 10), PixelOf(w, 25, 10)};
            });
        };
        shown[0] = previewer->Preview(red, 1, 3723456789);
        look(first);
        shown[1] = previewer->Preview(halfBlue, 2, AV_NOPTS_VALUE);
        look(second);
        previewer.reset();  // the window goes away on the UI thread
        QMetaObject::invokeMethod(&loop, [&] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();

    EXPECT_TRUE(shown[0]);
    EXPECT_TRUE(shown[1]);
    EXPECT_TRUE(first.visible);
    EXPECT_TRUE(first.onTop);
    EXPECT_TRUE(first.tool);
    EXPECT_EQ(first.size, QSize(30, 20));
    EXPECT_EQ(first.title, "01:02:03.456");
    EXPECT_EQ(first.left, QColor(Qt::red));
    EXPECT_EQ(first.right, QColor(Qt::red));
    EXPECT_EQ(second.title, "N/A");
    EXPECT_EQ(second.left, QColor(Qt::red));
    EXPECT_EQ(second.right, QColor(Qt::blue));
    EXPECT_TRUE(window.isNull());
}

TEST(Previewer, LaterFramesKeepTheFirstFramesSize)
{
    TPreviewer previewer;
    ASSERT_TRUE(previewer.Preview(Filled(40, 30, Qt::red), 1, 0));
    QWidget* window = previewer.Window();
    ASSERT_TRUE(previewer.Preview(Filled(20, 10, Qt::blue), 2, 40000));
    EXPECT_EQ(window->size(), QSize(40, 30));
    EXPECT_EQ(PixelOf(window, 5, 5), QColor(Qt::blue));
    EXPECT_EQ(PixelOf(window, 30, 20), QColor(Qt::red));  // the rest of the first frame stays
    ASSERT_TRUE(previewer.Preview(Filled(80, 60, Qt::green), 3, 80000));
    EXPECT_EQ(window->size(), QSize(40, 30));
    EXPECT_EQ(PixelOf(window, 39, 29), QColor(Qt::green));
    EXPECT_EQ(window->windowTitle(), "00:00:00.080");
}

TEST(Previewer, ClosedWindowNeverReopens)
{
    TPreviewer previewer;
    ASSERT_TRUE(previewer.Preview(Filled(16, 16, Qt::red), 1, 1000000));
    QWidget* window = previewer.Window();
    ASSERT_TRUE(window->isVisible());
    EXPECT_FALSE(previewer.PreviewClosed());

    window->close();
    EXPECT_TRUE(previewer.PreviewClosed());
    EXPECT_FALSE(window->isVisible());
    for (int frame = 2; frame <= 3; ++frame) {
        EXPECT_FALSE(previewer.Preview(Filled(16, 16, Qt::blue), frame, 2000000));
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(window->windowTitle(), "00:00:01.000");
        EXPECT_EQ(PixelOf(window, 8, 8), QColor(Qt::red));
    }
    EXPECT_EQ(previewer.Window(), window);
    EXPECT_FALSE(QApplication::closingDown());
}

TEST(Previewer, DraggedByItsPicture)
{
    TPreviewer previewer;
    ASSERT_TRUE(previewer.Preview(Filled(50, 40, Qt::red), 1, 0));
    QWidget* window = previewer.Window();
    const QPoint start = window->pos();
    const QPointF inside(10, 10);
    const QPointF global = QPointF(start) + inside;

    QMouseEvent press(QEvent::MouseButtonPress, inside, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &press);
    QMouseEvent move(QEvent::MouseMove, inside + QPointF(30, 20), global + QPointF(30, 20), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, inside + QPointF(30, 20), global + QPointF(30, 20),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(window, &release);
    EXPECT_EQ(window->pos(), start + QPoint(30, 20));
}

}  // namespace
