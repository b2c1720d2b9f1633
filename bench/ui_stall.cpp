// The longest stall of the user-interface thread while the main window converts a
// clip with the progress dialog's Preview on. A timer asks to run every 2 ms; any
// longer wait between two of its runs is time the thread was busy elsewhere.
//   ui_stall_bench CATALOGUE CLIP [PROFILE-NAME-PREFIX]
// Not a test: run bench/ui_stall.sh on a quiet machine.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/Application.h"
#include "app/ConvertFrm.h"
#include "app/ZelMainFrm.h"
#include "tools/Unattended.h"
#include "workflow/BatchObserver.h"

namespace {

using namespace kv::app;

// Counts the preview frames the dialog was handed.
class TFrameCounter : public QObject {
public:
    int Frames = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == kv::workflow::WM_PREVIEW_FRAME) ++Frames;
        return false;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    kv::app::TKestravoApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: ui_stall_bench CATALOGUE CLIP [PROFILE-NAME-PREFIX]\n");
        return 2;
    }
    const kv::tools::TUnattended unattended;
    QTemporaryDir work;
    const std::unique_ptr<TZelMainForm> opened = OpenMainWindow({args[2]}, kv::tools::ScratchPlaces(work, args[1]));
    if (!opened) return 1;
    TZelMainForm& window = *opened;
    const QString profile = args.size() > 3 ? args[3] : "MP4 - H.264 Video";
    for (int i = 0; i < window.cbbFormatEx->count(); ++i)
        if (window.cbbFormatEx->itemText(i).startsWith(profile)) window.cbbFormatEx->setCurrentIndex(i);
    std::printf("profile: %s\n", qPrintable(window.cbbFormatEx->currentText()));

    TFrameCounter counter;
    // Wall time between ticks, and the part of it the UI thread itself was running:
    // on a loaded machine the first also holds the time other processes had the cores.
    std::vector<qint64> gaps, busy;
    auto threadMicroseconds = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<qint64>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
    };
    qint64 lastCpu = 0;
    std::vector<std::pair<qint64, qint64>> worst;  // gap, when (ms into the batch)
    QElapsedTimer clock, run;
    bool measuring = false;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        TConvertForm* form = window.ProgressForm;
        const bool running = form && form->isVisible();
        if (running && !measuring) {
            form->installEventFilter(&counter);
            std::printf("preview: %s\n", form->chkPreview->isChecked() ? "on" : "off");
            run.start();
        } else if (running) {
            gaps.push_back(clock.nsecsElapsed() / 1000);
            busy.push_back(threadMicroseconds() - lastCpu);
            if (gaps.back() > 20000) worst.push_back({gaps.back(), run.elapsed()});
        }
        measuring = running;
        clock.start();
        lastCpu = threadMicroseconds();
    });
    tick.start(2);
    window.actConvert->trigger();
    tick.stop();
    if (gaps.empty()) {
        std::fprintf(stderr, "the batch showed no progress dialog\n");
        return 1;
    }
    std::sort(gaps.begin(), gaps.end());
    const auto at = [&](double share) { return gaps[static_cast<std::size_t>(share * (gaps.size() - 1))] / 1000.0; };
    std::printf("batch: %.1f s, %d preview frames painted\n", run.elapsed() / 1000.0, counter.Frames);
    std::printf("timer gaps: median %.1f ms, 99%% %.1f ms, longest %.1f ms (%zu gaps; the timer asks for 2 ms)\n",
                at(0.5), at(0.99), gaps.back() / 1000.0, gaps.size());
    std::sort(worst.rbegin(), worst.rend());
    for (std::size_t i = 0; i < worst.size() && i < 5; ++i)
        std::printf("  %.1f ms ending %.2f s into the batch\n", worst[i].first / 1000.0, worst[i].second / 1000.0);
    std::sort(busy.begin(), busy.end());
    std::printf("UI thread running between two ticks: 99%% %.1f ms, longest %.1f ms\n",
                busy[static_cast<std::size_t>(0.99 * (busy.size() - 1))] / 1000.0, busy.back() / 1000.0);
    std::printf("longest UI stall: %.1f ms\n", gaps.back() / 1000.0 - 2.0);
    return 0;
}
