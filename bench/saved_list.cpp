// How long the saved list of 1000 files takes to come back: read into the file list
// (the workflow alone), and the main window's whole start with it against its start
// with an empty list (target: under 1 s). The sources are small files of their own: a
// restored file is looked at on disk, not probed again.
//   saved_list_bench CATALOGUE [FILES]       (default 1000)
// Not a test: run bench/saved_list.sh on a quiet machine.
#include <QApplication>
#include <QElapsedTimer>
#include <QTableWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/ZelMainFrm.h"
#include "tools/Unattended.h"
#include "workflow/FileOutcome.h"
#include "workflow/SavedList.h"

namespace fs = std::filesystem;
using namespace kv::workflow;

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// `count` listed files in folders of 50, every tenth trimmed, half of them converted.
void WriteList(const fs::path& work, int count)
{
    TInputFileList list;
    for (int i = 0; i < count; ++i) {
        const fs::path source = work / "src" / ("folder" + std::to_string(i / 50)) / ("clip " + std::to_string(i) + ".avi");
        fs::create_directories(source.parent_path());
        std::ofstream(source) << "x";
        auto f = std::make_unique<TInputFile>();
        f->FileName = source.string();
        f->FileExt = "avi";
        f->FileSize = 123456;
        f->DurationSec = 95;
        f->TrimStart = i % 10 == 0 ? 1000 : -1;
        f->TrimLength = 95000;
        f->AspectIndex = i % 5;
        f->Status = i % 2 ? foSucceeded : foNotConverted;
        f->OutputOptions.FileName = (work / "out" / ("clip " + std::to_string(i) + ".mp4")).string();
        f->BaseFolder = (work / "src").string();
        list.Add(std::move(f));
    }
    TSavedList saved((work / "settings").string());
    if (!saved.Save(list)) std::fprintf(stderr, "%s\n", saved.LastError.c_str());
}

double WindowStartMs(const kv::app::TAppPlaces& places, int expectedRows)
{
    QElapsedTimer t;
    t.start();
    auto window = std::make_unique<kv::app::TZelMainForm>(places);
    const double ms = static_cast<double>(t.nsecsElapsed()) / 1e6;
    if (window->lvFileList->rowCount() != expectedRows)
        std::fprintf(stderr, "expected %d rows, the window has %d\n", expectedRows, window->lvFileList->rowCount());
    return ms;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: saved_list_bench CATALOGUE [FILES]\n");
        return 2;
    }
    const int count = args.size() > 2 ? args[2].toInt() : 1000;
    const kv::tools::TUnattended unattended;
    QTemporaryDir scratch;
    const fs::path work = scratch.path().toStdString();
    fs::create_directories(work / "settings");
    fs::copy_file(args[1].toStdString(), work / "settings" / "kestravo.ini");
    WriteList(work, count);
    const std::string listFile = (work / "settings" / SavedListName).string();
    std::printf("saved list: %d files, %lld bytes\n", count, static_cast<long long>(fs::file_size(listFile)));

    std::vector<double> workflow;
    for (int run = 0; run < 5; ++run) {
        TInputFileList list;
        TSavedList saved((work / "settings").string());
        QElapsedTimer t;
        t.start();
        saved.Restore(list);
        workflow.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        if (list.Count() != count) std::fprintf(stderr, "restored %d of %d\n", list.Count(), count);
    }

    kv::app::TAppPlaces places;
    places.SettingsFile = (work / "settings" / "kestravo.ini").string();
    places.DefaultOutputFolder = (work / "out").string();
    const std::string saved = listFile + ".saved";
    fs::copy_file(listFile, saved);
    std::vector<double> withList, empty;
    for (int run = 0; run < 5; ++run) {
        fs::copy_file(saved, listFile, fs::copy_options::overwrite_existing);
        withList.push_back(WindowStartMs(places, count));
        fs::remove(listFile);
        empty.push_back(WindowStartMs(places, 0));
    }
    std::printf("restore into the list: %.1f ms (median of 5)\n", Median(workflow));
    std::printf("window start with the list: %.1f ms, without: %.1f ms, the list's share %.1f ms (target < 1000 ms)\n",
                Median(withList), Median(empty), Median(withList) - Median(empty));
    return 0;
}
