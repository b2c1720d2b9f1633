// The wall time of a batch run through the main window, as a user runs it: the
// first profile of CATALOGUE, JOBS files at a time, the progress dialog's Preview as
// the dialog sets it (on for video) unless "off" is given.
//   window_jobs_bench CATALOGUE JOBS on|off FILE...
// Prints the seconds from Convert to the end of the batch, the part of them the
// preparation took, and the processor seconds the whole process spent meanwhile (on
// a shared machine the one figure other processes do not stretch). Not a test:
// bench/window_jobs.sh compares them with the ideal.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <memory>

#include "app/Application.h"
#include "app/ConvertFrm.h"
#include "app/ZelMainFrm.h"
#include "tools/Unattended.h"

namespace {

double ProcessCpuSeconds()
{
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(use.ru_utime) + seconds(use.ru_stime);
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace kv::app;
    TKestravoApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: window_jobs_bench CATALOGUE JOBS on|off FILE...\n");
        return 2;
    }
    const kv::tools::TUnattended unattended;
    QTemporaryDir work;
    const std::unique_ptr<TZelMainForm> opened = OpenMainWindow(args.mid(4), kv::tools::ScratchPlaces(work, args[1]));
    if (!opened) return 1;
    TZelMainForm& window = *opened;
    window.SelectProfile(0);
    window.spnJobs->setValue(args[2].toInt());
    if (window.lvFileList->rowCount() != args.size() - 4) {
        std::fprintf(stderr, "not every file was taken\n");
        return 1;
    }
    const bool preview = args[3] != "off";
    std::printf("profile: %s, %d at a time, %d files\n", qPrintable(window.cbbFormatEx->currentText()),
                window.spnJobs->value(), window.lvFileList->rowCount());

    QElapsedTimer clock;
    qint64 prepared = -1;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        TConvertForm* form = window.ProgressForm;
        if (prepared >= 0 || !form) return;
        prepared = clock.elapsed();
        // Nothing of the bench's own runs during the batch.
        watch.stop();
        if (!preview && form->chkPreview->isChecked()) form->chkPreview->click();
        std::printf("preview: %s\n", form->chkPreview->isChecked() ? "on" : "off");
    });
    watch.start(1);
    const double cpuBefore = ProcessCpuSeconds();
    clock.start();
    window.actConvert->trigger();
    const qint64 total = clock.elapsed();
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    for (int row = 0; row < window.lvFileList->rowCount(); ++row)
        if (window.lvFileList->item(row, colStatus)->text() != "Success") {
            std::fprintf(stderr, "row %d: %s\n", row, qPrintable(window.lvFileList->item(row, colStatus)->text()));
            return 1;
        }
    std::printf("batch: %.2f s (preparation %.2f s), cpu %.2f s\n", total / 1000.0, prepared / 1000.0, cpu);
    return 0;
}
