// The play_file tool as a user runs it: its event lines, its snapshot and its exit status.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QStringList>

#include <filesystem>
#include <string>

#include "tests/support/CoreApplication.h"
#include "tests/support/VideoConvert.h"

using kv::test::MediaFile;

namespace {

struct TRun {
    int Status = -1;
    QStringList Lines;  // without the leading time
    QString Errors;
};

TRun PlayFile(const QStringList& arguments)
{
    kvtest::App();
    QProcess process;
    process.start(QCoreApplication::applicationDirPath() + "/../tools/play_file", arguments);
    TRun run;
    if (!process.waitForFinished(30000)) return run;
    run.Status = process.exitCode();
    run.Errors = QString::fromUtf8(process.readAllStandardError());
    for (const QString& line : QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
        const qsizetype space = line.indexOf(' ');
        bool isTime = false;
        line.left(space).toLongLong(&isTime);
        EXPECT_TRUE(isTime) << line.toStdString();
        run.Lines << line.mid(space + 1);
    }
    return run;
}

TEST(PlayFile, PlaysToTheEndAndSavesThePictureOnScreen)
{
    const std::filesystem::path snapshot = std::filesystem::temp_directory_path() / "kv_play_file_snapshot.bmp";
    std::filesystem::remove(snapshot);
    const TRun run = PlayFile({QString::fromStdString(MediaFile("quadrants_64x45.mkv")), "--snapshot",
                               QString::fromStdString(snapshot.string())});
    ASSERT_EQ(run.Status, 0) << run.Errors.toStdString();
    ASSERT_GE(run.Lines.size(), 5);
    // The normal end of the file is no error.
    const QString path = QString::fromStdString(MediaFile("quadrants_64x45.mkv"));
    EXPECT_FALSE(run.Lines.contains("log error " + path + ": error or end of file"));
    const qsizetype open = run.Lines.indexOf("open duration=1960000 frame=720x576");
    ASSERT_GE(open, 0);
    EXPECT_EQ(run.Lines.indexOf("state play"), open + 1);
    EXPECT_TRUE(run.Lines.contains("position 1960000"));
    EXPECT_EQ(run.Lines[run.Lines.size() - 2].toStdString(), "state end");
    EXPECT_EQ(run.Lines.last().toStdString(), "state stop");
    const QImage picture(QString::fromStdString(snapshot.string()));
    std::filesystem::remove(snapshot);
    ASSERT_EQ(picture.size(), QSize(720, 576));
    const QColor topLeft = picture.pixelColor(100, 100);
    EXPECT_GT(topLeft.red(), 220);
    EXPECT_LT(topLeft.green() + topLeft.blue(), 40);
}

TEST(PlayFile, SeeksWhenToldAndStopsAfterTheGivenTime)
{
    const TRun run = PlayFile({QString::fromStdString(MediaFile("wav_pcm.wav")), "--seek-at", "200:1500", "--seconds",
                               "0.6", "--mute"});
    ASSERT_EQ(run.Status, 0) << run.Errors.toStdString();
    bool sawLate = false;
    for (const QString& line : run.Lines)
        if (line.startsWith("position ")) sawLate = sawLate || line.mid(9).toLongLong() >= 1500000;
    EXPECT_TRUE(sawLate);
    EXPECT_FALSE(run.Lines.contains("state end"));
    EXPECT_EQ(run.Lines.last().toStdString(), "state stop");
}

TEST(PlayFile, AFileThatCannotBeOpenedGivesTheReason)
{
    const std::string file = MediaFile("random.bin");
    const TRun run = PlayFile({QString::fromStdString(file)});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Errors.trimmed().split('\n').last().toStdString(), file + ": Error while parsing header");
    EXPECT_TRUE(run.Lines.isEmpty());
}

}  // namespace
