// Takes the README's pictures of the application: the real windows, on the display
// given by the environment (a virtual X server from tools/screenshots.sh).
//   kestravo_screenshots OUT_DIR CATALOGUE FILE... LONG_FILE
// The main window lists FILE... (the second of them should be a long one: the
// progress dialog is taken while it converts); then the second FILE and LONG_FILE
// are converted two at a time for the progress dialog with a line per file.
// CATALOGUE is the settings file to start from, copied first so that the original
// stays as it is.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QProgressBar>
#include <QSpinBox>
#include <QTableWidget>
#include <QDir>
#include <QPixmap>
#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include <cstdio>

#include "app/AboutFrm.h"
#include "app/Application.h"
#include "app/ConvertFrm.h"
#include "app/EditFrm.h"
#include "app/SettingFrm.h"
#include "app/ZelMainFrm.h"
#include "app/host/PlayerHostWidget.h"
#include "tools/Unattended.h"
#include "workflow/IniOptions.h"

namespace {

using namespace kv::app;

bool Save(QWidget* window, const QString& path)
{
    QApplication::processEvents();
    const bool ok = window->grab().save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

// From the screen: the players draw into windows of their own that a widget's grab leaves out.
bool SaveScreen(QWidget* window, const QString& path)
{
    QApplication::processEvents();
    const bool ok = window->screen()->grabWindow(window->winId()).save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

void Settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv)
{
    kv::app::PreferX11Platform();
    kv::app::TKestravoApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 6) {
        std::fprintf(stderr, "usage: kestravo_screenshots OUT_DIR CATALOGUE FILE FILE... LONG_FILE\n");
        return 2;
    }
    const QStringList files = args.mid(3, args.size() - 4);
    const QString out = args[1];
    QDir().mkpath(out);
    const kv::tools::TUnattended unattended;

    QTemporaryDir work;
    TAppPlaces places = kv::tools::ScratchPlaces(work, args[2]);
    // A fresh folder of a plain name: the pictures show it.
    const QString videos = QDir::tempPath() + "/kestravo-demo/Videos";
    QDir(videos).removeRecursively();
    QDir().mkpath(videos);
    places.DefaultOutputFolder = (videos + "/Kestravo").toStdString();

    bool ok = true;
    {
        TZelMainForm window(places);
        if (!window.InitEngine()) return 1;
        window.show();
        window.AddFiles(files);
        // A profile that shows the settings dialog's every choice.
        for (int i = 0; i < window.cbbFormatEx->count(); ++i)
            if (window.cbbFormatEx->itemText(i).startsWith("MP4 - Portable Player H.264")) window.cbbFormatEx->setCurrentIndex(i);
        Settle(300);

        TSettingForm settings(&window);
        settings.Fill(window.SelectedProfile());
        settings.show();
        Settle(200);
        ok &= Save(&settings, out + "/format-settings.png");
        settings.hide();

        TAboutBox about(&window);
        about.show();
        Settle(200);
        ok &= Save(&about, out + "/about.png");
        about.hide();

        // The progress dialog once the second file is well under way with its frames showing.
        bool taken = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            TConvertForm* form = window.ProgressForm;
            if (taken || !form || !form->isVisible()) return;
            const int total = window.lvFileList->rowCount();
            if (form->lblIndex->text() != QString("Current: 2 / Total: %1").arg(total)) return;
            if (form->pBarCur->value() < 40 || !form->pnlPreview->HasFrame()) return;
            taken = true;
            ok &= Save(form, out + "/progress.png");
        });
        watch.start(50);
        window.actConvert->trigger();
        watch.stop();
        if (!taken) {
            std::fprintf(stderr, "the batch ended before the progress dialog could be taken\n");
            ok = false;
        }
        window.lvFileList->selectRow(0);
        Settle(300);
        ok &= Save(&window, out + "/main-window.png");
        // Larger, as on a bigger screen: the list takes the room.
        const QSize normal = window.size();
        window.resize(1240, 860);
        Settle(300);
        ok &= Save(&window, out + "/main-window-large.png");
        window.resize(normal);
        Settle(200);

        // The first file playing in the preview pane, a second into it.
        window.actPlay->trigger();
        for (int i = 0; i < 100 && window.tbarPreview->value() < 1000; ++i) Settle(20);
        window.actPlay->trigger();
        Settle(200);
        ok &= SaveScreen(&window, out + "/preview.png");

        // The edit dialog with a section marked from a quarter to three quarters of the file.
        bool edited = false;
        QTimer edit;
        QObject::connect(&edit, &QTimer::timeout, [&] {
            auto* form = dynamic_cast<TEditForm*>(QApplication::activeModalWidget());
            if (edited || !form || !form->isVisible()) return;
            edited = true;
            const int length = form->tbarEdit->maximum();
            for (int i = 0; i < 200 && form->tbarEdit->value() < length / 4; ++i) Settle(10);
            form->btnStart->click();
            for (int i = 0; i < 200 && form->tbarEdit->value() < length * 3 / 4; ++i) Settle(10);
            form->btnEnd->click();
            form->fplyrEdit->Pause();
            form->cbbFrameAspectRatio->setCurrentIndex(2);
            Settle(300);
            ok &= SaveScreen(form, out + "/edit.png");
            form->reject();
        });
        edit.start(20);
        window.actEdit->trigger();
        if (!edited) {
            std::fprintf(stderr, "the edit dialog did not open\n");
            ok = false;
        }

        // Two long files two at a time, once both lines move and the speed is known.
        window.actClear->trigger();
        window.AddFiles({files[1], args.back()});
        window.spnJobs->setValue(2);
        taken = false;
        QObject::disconnect(&watch, nullptr, nullptr, nullptr);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            TConvertForm* form = window.ProgressForm;
            if (taken || !form || !form->isVisible() || form->lblSpeed->text().isEmpty()) return;
            if (form->pBarAll->value() < 25 || !form->pnlPreview->HasFrame()) return;
            for (const TConvertForm::TRunningLine& line : form->RunningLines)
                if (line.Bar->isHidden() || line.Bar->value() == 0) return;
            taken = true;
            ok &= Save(form, out + "/progress-two-at-once.png");
        });
        watch.start(50);
        window.actConvert->trigger();
        watch.stop();
        if (!taken) {
            std::fprintf(stderr, "the two-at-once batch ended before its progress dialog could be taken\n");
            ok = false;
        }
        window.spnJobs->setValue(1);
    }
    return ok ? 0 : 1;
}
