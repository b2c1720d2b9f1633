#pragma once
// The main window: the list of files to convert, the output profile and folder,
// and the Convert action. It owns the start-up and shut-down order of the
// application. The preview pane on the right plays the selected file and saves
// snapshots of it; the edit action trims a file and chooses its aspect.
#include <QPixmap>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>

#include "player/FFPlay.h"
#include "workflow/AppPaths.h"
#include "workflow/IniOptions.h"
#include "workflow/SavedList.h"
#include "workflow/ZelConvert.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QSlider;
class QSpinBox;
class QTableWidget;
class QToolButton;

namespace kv::app {

class TConvertForm;
class THelpWindow;
class TPlayerHostWidget;

// Where the window keeps its settings and finds its help; tests point these elsewhere.
struct TAppPlaces {
    // Those of the running copy.
    TAppPlaces() : TAppPlaces(workflow::AppFoldersOf(workflow::ExeFolder())) {}
    explicit TAppPlaces(const workflow::TAppFolders& folders);

    std::string SettingsFile;
    // The catalogue the user's own settings file is made from and kept up to date
    // with (an installed copy); empty when the settings file is the shipped one.
    std::string ShippedSettingsFile;
    std::string DefaultOutputFolder;
    std::string HelpFolder = DefaultHelpFolder();
    static std::string DefaultHelpFolder();
};

// Columns of the file list; colDetails says why a file was not converted.
enum : int { colSource, colType, colOriginal, colTrimmed, colStatus, colDestination, colDetails };

class TZelMainForm : public QWidget {
public:
    // Window creation: pictures, settings, profiles, output folder, controller.
    explicit TZelMainForm(const TAppPlaces& places = TAppPlaces());
    // Window destruction: detaches the engine, frees the controller, saves the settings.
    ~TZelMainForm() override;

    // The last step of creation: loads the media libraries. False after telling the
    // user to reinstall; the application then ends.
    bool InitEngine();

    // The actions' steps after their choosers: tests and drops call them directly.
    void AddFiles(const QStringList& paths);
    void AddFolder(const QString& folder);
    // Files and folders in the order given (a drop, the command line): each run of
    // files as Add Files adds them, each folder as Add Folder does.
    void AddPaths(const QStringList& paths);
    void SetOutputFolder(const QString& folder);
    // Creates the output folder when needed, resets the rows' outcomes and queues
    // one task for each of the first `limit` files; false when the folder cannot be
    // made. `ext` receives the profile's extension.
    bool PrepareBatch(int limit, std::string& ext);
    void RefreshActions();
    // The highlighted row: the current row when it is selected, else the first
    // selected one; -1 when none is.
    int SelectedRow() const;
    // Every selected row, top to bottom.
    QList<int> SelectedRows() const;
    // The profile chosen in the profile box, by its index in the catalogue (-1: none).
    int SelectedProfile() const;
    // Chooses profile `profile` (catalogue index) in the box; none when it has no such profile.
    void SelectProfile(int profile);

    // Files handed over by a second start: added as a drop adds them (after the batch
    // when one runs), and the window comes to the front.
    void ReceiveHandedPaths(const QStringList& paths);
    void BringToFront();
    // The session or a signal ends the application: a running batch is cancelled
    // without a question (its partial output removed), the settings are written, and
    // the application quits once the batch has ended.
    void EndApplication();
    bool EndRequested() const { return FEndRequested; }
    // Writes the remembered settings and the window's size, position and columns.
    void SaveSettings();
    // Opens the folder in the file manager; tells the user when none could.
    void OpenFolderOrSay(const QString& folder);

    std::unique_ptr<workflow::TZelConvert> Converter;
    int PreviewIndex = -1;  // the row last selected; -1 after start-up and Clear

    // The preview pane (ZelMainPreview.cpp).
    // Play, pause or resume the previewed row, whatever the action's enabling.
    void PlayPreview();
    // Stops the preview player, waiting until it has let go of everything.
    void StopPreview();
    // Selects the row `delta` places away and plays it.
    void StepPreview(int delta);
    // Saves the picture on screen into the snapshot folder; the file's path, or
    // empty when nothing was saved.
    QString TakeSnapshot();
    void OpenSnapshotFolder();
    void SnapshotOptions();
    // Trim and aspect of the selected file through the edit dialog.
    void EditFile();
    // The user takes and lets go of the preview slider.
    void PreviewSliderPressed();
    void PreviewSliderReleased();
    void PreviewSliderMoved(int ms);
    void PreviewVolumeChanged(int percent);
    // The snapshot folder of the settings, or the default one when they name none.
    QString SnapshotFolder() const;

    std::unique_ptr<player::TFFPlayer> fplyrPreview;
    player::TPlayState PlayerState = player::psEnd;  // last state the preview player reported
    std::int64_t PreviewDuration = 0;                 // microseconds
    bool Dragging = false;                            // the user holds the preview slider
    // The progress dialog while a batch runs.
    TConvertForm* ProgressForm = nullptr;
    THelpWindow* HelpWindow = nullptr;

    QLabel* imgTop;
    QToolButton* btnAbout;
    QToolButton* btnHelp;
    QToolButton* btnAddFolder;
    QToolButton* btnAddFile;
    QToolButton* btnEditFile;
    QTableWidget* lvFileList;
    QToolButton* btnRemoveFile;
    QToolButton* btnClear;
    QToolButton* btnMoveUp;
    QToolButton* btnMoveDown;
    QLabel* lblFormat;
    QComboBox* cbbFormatEx;
    QToolButton* btnSetting;
    QLabel* lblOutputFolder;
    QLineEdit* edtOutputFolder;
    QToolButton* btnOpenFolder;
    QToolButton* btnConvert;
    QLabel* lblJobs;
    QSpinBox* spnJobs;  // files converted at once, 1 to the number of cores
    QMenu* pm1;
    // Saved list, mirrored folders, taken names, watch folder (ZelMainQueue.cpp).
    QCheckBox* chkKeepFolders = nullptr;
    QLabel* lblIfExists;
    QComboBox* cbbIfExists;
    QToolButton* btnWatchFolder;
    QAction* actWatchFolder;
    std::unique_ptr<workflow::TSavedList> SavedList;  // none without a settings file
    // Writes the list when it changed since it was last written.
    void SaveList();
    // The watch folder dialog, created on first use and kept while the window lives.
    void WatchFolder();
    QWidget* WatchFolderForm = nullptr;

    QFrame* pnlPreview;
    QLabel* lblPreviewInfo;
    TPlayerHostWidget* pnlPreviewPlay;
    QLabel* imgPreview;
    QSlider* tbarPreview;
    QLabel* lblPreviewTime;      // position / duration (ZelMainPreview.cpp)
    QSlider* tbarPreviewVolume;  // percent, remembered
    QLabel* lblPreviewVolume;
    QToolButton* btnPlay;
    QToolButton* btnStop;
    QToolButton* btnPrevious;
    QToolButton* btnNext;
    QToolButton* btnSnapshot;
    QToolButton* btnOpenSnapshot;
    QToolButton* btnSnapShotOption;

    QAction* actAddFile;
    QAction* actAddFolder;
    QAction* actEdit;
    QAction* actRemoveFile;
    QAction* actClear;
    QAction* actMoveUp;
    QAction* actMoveDown;
    QAction* actFormatSetting;
    QAction* actOpenFolder;
    QAction* actAbout;
    QAction* actHelp;
    QAction* actConvert;
    QAction* actPlay;
    QAction* actStop;
    QAction* actPrevious;
    QAction* actNext;
    QAction* actSnapshot;
    QAction* actOpenSnapshot;
    QAction* actSnapshotOptions;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void CreateActions();
    void CreateQueueControls();
    void RestoreList();
    void ApplyOutputRules();
    void CreateControls();
    void CreatePreviewPane();
    void AttachPreviewPlayer();
    void UpdatePlayerControls();
    void RefreshPreviewActions();
    QString RowCaption(int row) const;
    void ReadSettings();
    void FillFormats();
    void InitOutputFolder();

    void ChooseFiles();
    void ChooseFolder();
    void ChooseOutputFolder();
    void RemoveFile();
    void ClearFiles();
    void MoveRow(int delta);
    void FormatSetting();
    void OpenFolder();
    void About();
    void Help();
    void Convert();
    void ShowOutcomes();

    int AppendRow(int index);
    void PlaceControls();
    // Source and Destination share the list's width before Details does (until the user sizes a column).
    QSize FirstWindowSize() const;
    void FitHeading(int column);
    void ShareColumnWidths();
    void ShowBanner(int width);
    void ReadWindowState();
    void SaveWindowState();
    bool ListHasWork() const;
    void SelectRows(const QList<int>& rows, int current);
    // "3 files were not added:" with each file and why; nothing when none was refused.
    void ReportRefused(const QStringList& lines);
    QString RefusalLine(const QString& path, int result) const;

    TAppPlaces FPlaces;
    bool FCentred = false;
    // The user sized the list's columns (now or at an earlier start): they keep their widths.
    bool FColumnsChosen = false;
    bool FSharingColumns = false;
    bool FPreparing = false;
    bool FEndRequested = false;
    QString FLastFolder;         // where Add Files and Add Folder open
    QPixmap FBanner;
    QStringList FPendingPaths;   // handed over while a batch ran
};

}  // namespace kv::app
