#include "app/ZelMainFrm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QTableWidget>
#include <QToolButton>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>

#include "app/AboutFrm.h"
#include "app/ActionButtons.h"
#include "app/ActionGuard.h"
#include "app/ConvertFrm.h"
#include "app/FileTypes.h"
#include "app/HelpWindow.h"
#include "app/ListColumns.h"
#include "app/Pictures.h"
#include "app/ProfileBox.h"
#include "app/Prompter.h"
#include "app/SettingFrm.h"
#include "app/Shell.h"
#include "workflow/BatchObserver.h"
#include "workflow/FileOutcome.h"
#include "workflow/IniOptions.h"
#include "workflow/IniFile.h"
#include "workflow/UserSettings.h"

namespace kv::app {

using workflow::IniOptions;
using workflow::TInputFile;

namespace {

QString FileNamePart(const std::string& path)
{
    return QFileInfo(QString::fromStdString(path)).fileName();
}

QString TimeText(std::int64_t seconds)
{
    return QString::fromStdString(workflow::TimeText(static_cast<int>(std::clamp<std::int64_t>(seconds, 0, INT32_MAX))));
}

// "1 file", "3 files".
QString CountText(int count, const char* one, const char* many)
{
    return QString("%1 %2").arg(count).arg(count == 1 ? one : many);
}

// One message for every file refused at once; a long list is cut short.
QString RefusedText(const QStringList& lines)
{
    const int shown = 20;
    QString text = CountText(static_cast<int>(lines.size()), "file was", "files were") + " not added:\n";
    for (int i = 0; i < lines.size() && i < shown; ++i) text += "\n" + lines[i];
    if (lines.size() > shown) text += QString("\n... and %1 more.").arg(lines.size() - shown);
    return text;
}

// Shows the wait cursor while the files of a folder are probed.
class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

// Takes the window's input and actions away for its lifetime and gives them back.
class TInputFreeze {
public:
    explicit TInputFreeze(QWidget* window) : FWindow(window)
    {
        for (QAction* action : window->actions())
            if (action->isEnabled()) {
                FEnabled << action;
                action->setEnabled(false);
            }
        window->setEnabled(false);
    }
    ~TInputFreeze()
    {
        FWindow->setEnabled(true);
        for (QAction* action : FEnabled) action->setEnabled(true);
    }
    TInputFreeze(const TInputFreeze&) = delete;
    TInputFreeze& operator=(const TInputFreeze&) = delete;

private:
    QWidget* FWindow;
    QList<QAction*> FEnabled;
};

}  // namespace

TAppPlaces::TAppPlaces(const workflow::TAppFolders& folders)
    : SettingsFile(folders.SettingsFile),
      ShippedSettingsFile(folders.Installed ? folders.ShippedSettingsFile : std::string()),
      DefaultOutputFolder(folders.OutputFolder)
{
}

std::string TAppPlaces::DefaultHelpFolder()
{
    return THelpWindow::HelpFolder().toStdString();
}

TZelMainForm::TZelMainForm(const TAppPlaces& places)
    : QWidget(nullptr, Qt::Window), FPlaces(places)
{
    // 1. No previewed row; 2. Qt's own style; 3. the pictures, with the controls.
    PreviewIndex = -1;
    CreateActions();
    CreateControls();
    // 4.
    setWindowTitle(QString::fromUtf8(workflow::ApplicationTitle));
    // Its own icon too, whatever application object it runs in (the tools and tests).
    setWindowIcon(PictureIcon("Kestravo.png"));
    // 5.
    PlayerState = player::psEnd;
    UpdatePlayerControls();
    // The list takes what the window grows by; below this size the controls would overlap.
    setMinimumSize(730, 571);
    resize(FirstWindowSize());
    setAcceptDrops(true);
    // 6.
    ReadSettings();
    ReadWindowState();
    // 7, 8, 9.
    FillFormats();
    spnJobs->setValue(IniOptions.Jobs);
    InitOutputFolder();
    CreateQueueControls();
    RefreshActions();
    // 10. Conversions yield to the windows: the user-interface thread runs first
    // whenever both want a core.
    Converter = std::make_unique<workflow::TZelConvert>();
    Converter->Engine.SetThreadPriority(engine::tpLower);
    RestoreList();
}

TZelMainForm::~TZelMainForm()
{
    // 1.
    fplyrPreview->Stop(true);
    // 2. The handlers point into the last progress dialog.
    Converter->Engine.OnProgress = nullptr;
    Converter->Engine.OnTerminate = nullptr;
    Converter->Engine.OnPreviewBitmap = nullptr;
    // 3.
    SaveList();
    Converter.reset();
    // 4. Without telling anyone: the remembered profile stays as it is.
    cbbFormatEx->blockSignals(true);
    cbbFormatEx->clear();
    // 5.
    SaveSettings();
}

void TZelMainForm::SaveSettings()
{
    try {
        IniOptions.SaveToFile(FPlaces.SettingsFile);
        SaveWindowState();
    } catch (const std::exception& e) {
        ReportEscapedError("saving the settings", e.what());
    }
}

bool TZelMainForm::InitEngine()
{
    if (Converter->InitEngine()) return true;
    ReportEscapedError("loading the media libraries", Converter->Engine.LastErrMsg().c_str());
    Prompter().Message(nullptr, QMessageBox::Critical, QString::fromStdString(workflow::TZelConvert::InitErrorText()));
    return false;
}

void TZelMainForm::CreateActions()
{
    // Every action's hint names its key.
    auto make = [this](const char* text, const char* hint, const QKeySequence& key, std::function<void()> handler) {
        auto* action = new QAction(text, this);
        // Buttons show the whole caption, "..." included.
        action->setIconText(text);
        action->setShortcut(key);
        action->setShortcutContext(Qt::WindowShortcut);
        const QString keyText = key.toString(QKeySequence::NativeText);
        action->setToolTip(keyText.isEmpty() ? QString(hint) : QString("%1 (%2)").arg(hint, keyText));
        if (handler)
            connect(action, &QAction::triggered, this, [text, handler] { RunAction(text, handler); });
        addAction(action);
        return action;
    };
    actAddFile = make("Add Files", "Add video or audio files to convert", QKeySequence("Ctrl+O"), [this] { ChooseFiles(); });
    actAddFolder = make("Add Folder", "Add the video and audio files of a folder", QKeySequence("Ctrl+Shift+O"),
                        [this] { ChooseFolder(); });
    actEdit = make("Edit...", "Trim the selected file and choose its aspect", QKeySequence("Ctrl+E"), [this] { EditFile(); });
    actRemoveFile = make("Remove", "Remove the selected files from the list", QKeySequence(Qt::Key_Delete),
                         [this] { RemoveFile(); });
    actClear = make("Clear", "Remove all files from the list", QKeySequence("Ctrl+Shift+Del"), [this] { ClearFiles(); });
    actMoveUp = make("Move Up", "Move the selected files up", QKeySequence("Alt+Up"), [this] { MoveRow(-1); });
    actMoveDown = make("Move Down", "Move the selected files down", QKeySequence("Alt+Down"), [this] { MoveRow(1); });
    actFormatSetting = make("Settings...", "Change the settings of the output format", QKeySequence("Ctrl+,"),
                            [this] { FormatSetting(); });
    actOpenFolder = make("Open...", "Open the output folder", QKeySequence("Ctrl+Shift+F"), [this] { OpenFolder(); });
    actAbout = make("About", "About Larkspire Kestravo", QKeySequence(), [this] { About(); });
    actHelp = make("Help", "Help", QKeySequence(Qt::Key_F1), [this] { Help(); });
    actConvert = make("Convert", "Start converting the list", QKeySequence("Ctrl+Return"), [this] { Convert(); });

    actPlay = make("Play", "Play", QKeySequence(Qt::Key_Space), [this] { PlayPreview(); });
    actStop = make("Stop", "Stop", QKeySequence("Ctrl+."), [this] { StopPreview(); });
    actPrevious = make("Previous", "Previous File", QKeySequence("Ctrl+Left"), [this] { StepPreview(-1); });
    actNext = make("Next", "Next File", QKeySequence("Ctrl+Right"), [this] { StepPreview(1); });
    actSnapshot = make("Snapshot", "Snapshot", QKeySequence("Ctrl+Shift+S"), [this] { TakeSnapshot(); });
    actOpenSnapshot = make("Open Snapshot Folder", "Open the snapshot folder", QKeySequence(), [this] { OpenSnapshotFolder(); });
    actSnapshotOptions = make("Snapshot Options", "Snapshot Options", QKeySequence(), [this] { SnapshotOptions(); });
}

void TZelMainForm::CreateControls()
{
    imgTop = new QLabel(this);
    imgTop->setGeometry(0, 0, 730, 60);
    imgTop->setPixmap(LoadPicture("MainImage.png"));
    btnAbout = FlatButton(actAbout, "About.png", QRect(730 - 42, 14, 32, 32), 24, this);
    // F1 works anywhere; the button shows that there is help at all.
    btnHelp = FlatButton(actHelp, "Help.png", QRect(730 - 42 - 36, 14, 32, 32), 24, this);

    btnAddFolder = ActionButton(actAddFolder, "AddFolder.png", QRect(10, 68, 100, 40), 24, this);
    btnAddFile = ActionButton(actAddFile, "AddFile.png", QRect(115, 68, 100, 40), 24, this);
    btnEditFile = ActionButton(actEdit, "EditFile.png", QRect(220, 68, 100, 40), 24, this);

    lvFileList = new QTableWidget(0, 7, this);
    lvFileList->setGeometry(10, 114, 410, 300);
    lvFileList->setHorizontalHeaderLabels({"Source", "Type", "Original", "Trimmed", "Status", "Destination File", "Details"});
    lvFileList->horizontalHeader()->setStretchLastSection(true);
    // Details follows the list's width by itself: only the other columns are the user's choice.
    connect(lvFileList->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column) {
        if (!FSharingColumns && column != colDetails) FColumnsChosen = true;
        FitHeading(column);
    });
    // Long names keep their start and their extension.
    lvFileList->setTextElideMode(Qt::ElideMiddle);
    // One stop of the Tab key: the arrows move within the list.
    lvFileList->setTabKeyNavigation(false);
    lvFileList->verticalHeader()->hide();
    lvFileList->verticalHeader()->setDefaultSectionSize(22);
    lvFileList->horizontalHeader()->setSectionsClickable(false);
    lvFileList->horizontalHeader()->setHighlightSections(false);
    lvFileList->setShowGrid(true);
    lvFileList->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvFileList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvFileList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvFileList->setWordWrap(false);
    lvFileList->setIconSize(QSize(16, 16));
    // The selected row stays marked while another control has the focus.
    QPalette keep = lvFileList->palette();
    keep.setColor(QPalette::Inactive, QPalette::Highlight, keep.color(QPalette::Active, QPalette::Highlight));
    keep.setColor(QPalette::Inactive, QPalette::HighlightedText, keep.color(QPalette::Active, QPalette::HighlightedText));
    lvFileList->setPalette(keep);
    connect(lvFileList, &QTableWidget::itemSelectionChanged, this, [this] {
        const int row = SelectedRow();
        if (row >= 0) PreviewIndex = row;
        RefreshActions();
    });
    connect(lvFileList, &QTableWidget::itemDoubleClicked, this,
            [this] { RunAction("Play", [this] { PlayPreview(); }); });

    pm1 = new QMenu(this);
    pm1->addAction(actAddFile);
    pm1->addAction(actAddFolder);
    pm1->addAction(actEdit);
    pm1->addSeparator();
    pm1->addAction(actMoveUp);
    pm1->addAction(actMoveDown);
    pm1->addAction(actRemoveFile);
    pm1->addAction(actClear);
    lvFileList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvFileList, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { pm1->popup(lvFileList->viewport()->mapToGlobal(at)); });

    btnRemoveFile = ActionButton(actRemoveFile, "Remove.png", QRect(10, 420, 100, 32), 20, this);
    btnClear = ActionButton(actClear, "Clear.png", QRect(113, 420, 100, 32), 20, this);
    btnMoveUp = ActionButton(actMoveUp, "MoveUp.png", QRect(217, 420, 100, 32), 20, this);
    btnMoveDown = ActionButton(actMoveDown, "MoveDown.png", QRect(320, 420, 100, 32), 20, this);

    lblFormat = new QLabel("Output Format:", this);
    lblFormat->setGeometry(10, 462, 100, 24);
    cbbFormatEx = new QComboBox(this);
    cbbFormatEx->setGeometry(110, 462, 420, 24);
    cbbFormatEx->setToolTip("Choose the output format");
    cbbFormatEx->setIconSize(QSize(16, 16));
    cbbFormatEx->setMaxVisibleItems(16);
    // Headings by category in the open list.
    cbbFormatEx->setItemDelegate(new TProfileHeadings(cbbFormatEx));
    lblFormat->setBuddy(cbbFormatEx);
    connect(cbbFormatEx, &QComboBox::currentIndexChanged, this,
            [this](int row) { IniOptions.OutputFormat = ProfileAtRow(*cbbFormatEx, row); });
    btnSetting = ActionButton(actFormatSetting, "", QRect(536, 461, 90, 26), 16, this);

    lblOutputFolder = new QLabel("Output Folder:", this);
    lblOutputFolder->setGeometry(10, 496, 100, 24);
    edtOutputFolder = new QLineEdit(this);
    edtOutputFolder->setGeometry(110, 496, 420, 24);
    edtOutputFolder->setToolTip("The folder the converted files are saved in");
    // Typed, pasted or chosen; a folder of any length the file system takes.
    connect(edtOutputFolder, &QLineEdit::textEdited, this,
            [](const QString& text) { IniOptions.OutputFolder = text.trimmed().toStdString(); });
    QAction* choose = edtOutputFolder->addAction(PictureIcon("Open.png"), QLineEdit::TrailingPosition);
    choose->setToolTip("Choose the output folder");
    connect(choose, &QAction::triggered, this, [this] { RunAction("Output Folder", [this] { ChooseOutputFolder(); }); });
    lblOutputFolder->setBuddy(edtOutputFolder);
    btnOpenFolder = ActionButton(actOpenFolder, "", QRect(536, 495, 90, 26), 16, this);

    lblJobs = new QLabel("Simultaneous conversions:", this);
    lblJobs->setGeometry(10, 530, 160, 24);
    spnJobs = new QSpinBox(this);
    spnJobs->setGeometry(176, 530, 56, 24);
    spnJobs->setRange(1, workflow::TIniOptions::MaxJobs());
    spnJobs->setToolTip("How many files are converted at the same time (at most one per processor core)");
    lblJobs->setBuddy(spnJobs);
    connect(spnJobs, &QSpinBox::valueChanged, this, [](int jobs) { IniOptions.Jobs = jobs; });

    btnConvert = new QToolButton(this);
    btnConvert->setDefaultAction(actConvert);
    btnConvert->setGeometry(648, 472, 72, 72);
    btnConvert->setAutoRaise(true);
    const QIcon convert = PictureIcon("Convert.png");
    if (!convert.isNull()) actConvert->setIcon(convert);
    btnConvert->setIconSize(QSize(40, 40));
    btnConvert->setToolButtonStyle(convert.isNull() ? Qt::ToolButtonTextOnly : Qt::ToolButtonTextUnderIcon);
    QFont bold = btnConvert->font();
    bold.setBold(true);
    btnConvert->setFont(bold);

    CreatePreviewPane();
}

void TZelMainForm::ReadSettings()
{
    std::string file = FPlaces.SettingsFile;
    if (!FPlaces.ShippedSettingsFile.empty()) {
        // An installed copy: the user's own file, made or brought up to date first.
        try {
            workflow::PrepareUserSettingsFile(FPlaces.ShippedSettingsFile, FPlaces.SettingsFile);
        } catch (const std::exception& e) {
            // Without a file of their own the user still gets the shipped catalogue.
            ReportEscapedError("preparing the settings", e.what());
            file = FPlaces.ShippedSettingsFile;
        }
    }
    // A settings file that cannot be read leaves the catalogue empty; the window still opens.
    try {
        IniOptions.LoadFromFile(file);
    } catch (const std::exception& e) {
        ReportEscapedError("reading the settings", e.what());
    }
}

void TZelMainForm::FillFormats()
{
    const QIcon pictures[] = {PictureIcon("AudioFile.png"), PictureIcon("VideoFile.png")};
    const int count = std::min(IniOptions.FormatCount, static_cast<int>(IniOptions.Formats.size()));
    QList<int> categories;
    for (int i = 0; i < count; ++i) categories << IniOptions.Formats[static_cast<std::size_t>(i)].Category;
    cbbFormatEx->blockSignals(true);
    cbbFormatEx->clear();
    for (int profile : GroupedProfileOrder(categories)) {
        const int category = categories[profile];
        cbbFormatEx->addItem(category == 0 || category == 1 ? pictures[category] : QIcon(),
                             QString::fromStdString(IniOptions.Formats[static_cast<std::size_t>(profile)].Name));
        cbbFormatEx->setItemData(cbbFormatEx->count() - 1, category, CategoryRole);
        cbbFormatEx->setItemData(cbbFormatEx->count() - 1, profile, ProfileRole);
    }
    // A remembered profile the catalogue no longer has falls back to the first one.
    int row = RowOfProfile(*cbbFormatEx, IniOptions.OutputFormat);
    if (row < 0) row = RowOfProfile(*cbbFormatEx, 0);
    cbbFormatEx->setCurrentIndex(row);
    cbbFormatEx->blockSignals(false);
    if (row >= 0) IniOptions.OutputFormat = ProfileAtRow(*cbbFormatEx, row);
}

int TZelMainForm::SelectedProfile() const
{
    return ProfileAtRow(*cbbFormatEx, cbbFormatEx->currentIndex());
}

void TZelMainForm::SelectProfile(int profile)
{
    cbbFormatEx->setCurrentIndex(RowOfProfile(*cbbFormatEx, profile));
}

void TZelMainForm::InitOutputFolder()
{
    if (!IniOptions.OutputFolder.empty()) {
        edtOutputFolder->setText(QString::fromStdString(IniOptions.OutputFolder));
        return;
    }
    const QString folder = QString::fromStdString(FPlaces.DefaultOutputFolder);
    edtOutputFolder->setText(folder);
    // With the folders above it: an installed copy's default lies in the user's videos
    // folder, which a fresh account may not have yet.
    if (!QFileInfo::exists(folder)) QDir().mkpath(folder);
}

int TZelMainForm::SelectedRow() const
{
    const QList<int> rows = SelectedRows();
    const int current = lvFileList->currentRow();
    if (rows.contains(current)) return current;
    return rows.isEmpty() ? -1 : rows.front();
}

QList<int> TZelMainForm::SelectedRows() const
{
    QList<int> rows;
    for (const QTableWidgetSelectionRange& range : lvFileList->selectedRanges())
        for (int r = range.topRow(); r <= range.bottomRow(); ++r) rows << r;
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

void TZelMainForm::SelectRows(const QList<int>& rows, int current)
{
    const QSignalBlocker quiet(lvFileList);
    lvFileList->clearSelection();
    if (current >= 0) lvFileList->setCurrentCell(current, 0, QItemSelectionModel::NoUpdate);
    for (int row : rows)
        lvFileList->selectionModel()->select(lvFileList->model()->index(row, 0),
                                             QItemSelectionModel::Select | QItemSelectionModel::Rows);
    PreviewIndex = SelectedRow() >= 0 ? SelectedRow() : PreviewIndex;
}

void TZelMainForm::RefreshActions()
{
    StopPreview();
    PlayerState = player::psStop;
    // The preview follows the highlighted row; a previewed row that is gone is forgotten.
    if (SelectedRow() >= 0) PreviewIndex = SelectedRow();
    if (PreviewIndex >= lvFileList->rowCount()) PreviewIndex = -1;
    lblPreviewInfo->setText(PreviewIndex < 0 ? QString("Preview:") : "Preview: " + RowCaption(PreviewIndex));
    const int rows = lvFileList->rowCount();
    const QList<int> selected = SelectedRows();
    actRemoveFile->setEnabled(!selected.isEmpty());
    actEdit->setEnabled(!selected.isEmpty());
    actClear->setEnabled(rows > 0);
    actConvert->setEnabled(rows > 0);
    actMoveUp->setEnabled(!selected.isEmpty() && selected.front() > 0);
    actMoveDown->setEnabled(!selected.isEmpty() && selected.back() < rows - 1);
    RefreshPreviewActions();
    // Every change of the list ends here.
    SaveList();
}

int TZelMainForm::AppendRow(int index)
{
    const TInputFile& file = Converter->Files.Items(index);
    const int row = lvFileList->rowCount();
    lvFileList->insertRow(row);
    const QString ext = QString::fromStdString(file.FileExt);
    const QString texts[] = {FileNamePart(file.FileName), ext, TimeText(file.DurationSec),
                             TimeText(file.TrimLength / 1000), "-", QString(), QString()};
    for (int c = 0; c < 7; ++c) {
        auto* item = new QTableWidgetItem(texts[c]);
        if (c == colType || c == colOriginal || c == colStatus) item->setTextAlignment(Qt::AlignCenter);
        lvFileList->setItem(row, c, item);
    }
    // What the probe found, whatever the name says.
    lvFileList->item(row, colSource)->setIcon(PictureIcon(file.HasPicture ? "VideoFile.png" : "AudioFile.png"));
    lvFileList->item(row, colSource)->setToolTip(QString::fromStdString(file.FileName));
    return row;
}

QString TZelMainForm::RefusalLine(const QString& path, int result) const
{
    if (result == -1) return path + ": already in the list";
    const QFileInfo info(path);
    if (!info.exists()) return path + ": the file does not exist";
    if (info.isFile() && info.size() == 0) return path + ": the file is empty";
    QString why = QString::fromStdString(Converter->LastAddError());
    if (why.startsWith(path + ": ")) why = why.mid(path.size() + 2);
    if (why == "of no known length") return path + ": its length is not known";
    // Otherwise the libraries' own words on why they could not read it.
    return path + ": not a media file that can be read" + (why.isEmpty() ? QString() : " (" + why + ")");
}

void TZelMainForm::ReportRefused(const QStringList& lines)
{
    if (lines.isEmpty()) return;
    Prompter().Message(this, QMessageBox::Information, RefusedText(lines));
}

void TZelMainForm::AddFiles(const QStringList& paths)
{
    QStringList refused;
    {
        const TBusyCursor busy;
        for (const QString& path : paths) {
            const int index = Converter->AddFile(path.toStdString());
            if (index < 0) {
                refused << RefusalLine(path, index);
                continue;
            }
            const int row = AppendRow(index);
            SelectRows({row}, row);
        }
    }
    RefreshActions();
    ReportRefused(refused);
}

void TZelMainForm::AddFolder(const QString& folder)
{
    int loaded = 0, first = -1;
    QStringList refused;
    {
        const TBusyCursor busy;
        for (const QString& path : CollectMediaFiles(folder)) {
            const int index = Converter->AddFile(path.toStdString());
            if (index < 0) {
                refused << RefusalLine(path, index);
                continue;
            }
            ++loaded;
            // Its place in the tree, for mirrored output folders.
            Converter->Files.Items(index).BaseFolder = folder.toStdString();
            const int row = AppendRow(index);
            if (first < 0) first = row;
        }
    }
    if (first >= 0) SelectRows({first}, first);
    RefreshActions();
    QString text = QString("%1 added from \"%2\".").arg(CountText(loaded, "file", "files"), folder);
    if (loaded == 0 && refused.isEmpty()) text = QString("No video or audio files were found in \"%1\".").arg(folder);
    if (!refused.isEmpty()) text += "\n\n" + RefusedText(refused);
    Prompter().Message(this, QMessageBox::Information, text);
}

void TZelMainForm::AddPaths(const QStringList& paths)
{
    QStringList files;
    for (const QString& path : paths) {
        if (!QFileInfo(path).isDir()) {
            files << path;
            continue;
        }
        if (!files.isEmpty()) AddFiles(files);
        files.clear();
        AddFolder(path);
    }
    if (!files.isEmpty()) AddFiles(files);
}

void TZelMainForm::ChooseFiles()
{
    const QStringList paths = Prompter().ChooseFiles(this, OpenFileFilters(), FLastFolder);
    if (paths.isEmpty()) return;
    FLastFolder = QFileInfo(paths.front()).absolutePath();
    AddFiles(paths);
}

void TZelMainForm::ChooseFolder()
{
    const QString folder = Prompter().ChooseFolder(this, "Select a Folder to Convert", FLastFolder);
    if (folder.isEmpty()) return;
    FLastFolder = folder;
    AddFolder(folder);
}

void TZelMainForm::ChooseOutputFolder()
{
    const QString folder = Prompter().ChooseFolder(this, "Select the Output Folder", edtOutputFolder->text());
    if (!folder.isEmpty()) SetOutputFolder(folder);
}

void TZelMainForm::SetOutputFolder(const QString& folder)
{
    edtOutputFolder->setText(folder);
    IniOptions.OutputFolder = folder.toStdString();
}

void TZelMainForm::RemoveFile()
{
    const QList<int> rows = SelectedRows();
    if (rows.isEmpty()) return;
    StopPreview();
    {
        // Rows and records go together, from the bottom up so that indexes hold.
        const QSignalBlocker quiet(lvFileList);
        for (auto r = rows.rbegin(); r != rows.rend(); ++r) {
            lvFileList->removeRow(*r);
            Converter->RemoveFile(*r);
        }
    }
    PreviewIndex = -1;
    const int left = lvFileList->rowCount();
    if (left > 0) {
        const int next = std::min(rows.front(), left - 1);
        SelectRows({next}, next);
    } else {
        lvFileList->clearSelection();
    }
    RefreshActions();
}

bool TZelMainForm::ListHasWork() const
{
    for (int i = 0; i < Converter->Files.Count(); ++i) {
        const TInputFile& file = Converter->Files.Items(i);
        if (file.TrimStart != -1 || file.AspectIndex != 0 || file.Status != 0 || !file.Reason.empty()) return true;
    }
    return false;
}

void TZelMainForm::ClearFiles()
{
    // Trims and outcomes are work the user would lose.
    if (ListHasWork() && !Ask(this, "Some files are trimmed or have been converted. Remove all files from the list?"))
        return;
    PreviewIndex = -1;
    {
        const QSignalBlocker quiet(lvFileList);
        lvFileList->setRowCount(0);
    }
    Converter->ClearFiles();
    RefreshActions();
}

void TZelMainForm::MoveRow(int delta)
{
    const QList<int> rows = SelectedRows();
    if (rows.isEmpty() || rows.front() + delta < 0 || rows.back() + delta >= lvFileList->rowCount()) return;
    const int current = SelectedRow();
    // The selected rows move as one block; each steps over its neighbour.
    QList<int> order = rows;
    if (delta > 0) std::reverse(order.begin(), order.end());
    {
        const QSignalBlocker quiet(lvFileList);
        for (int from : order) {
            const int to = from + delta;
            Converter->Files.Exchange(from, to);
            for (int c = 0; c < lvFileList->columnCount(); ++c) {
                QTableWidgetItem* a = lvFileList->takeItem(from, c);
                QTableWidgetItem* b = lvFileList->takeItem(to, c);
                lvFileList->setItem(from, c, b);
                lvFileList->setItem(to, c, a);
            }
        }
    }
    QList<int> moved;
    for (int r : rows) moved << r + delta;
    SelectRows(moved, current + delta);
    RefreshActions();
}

void TZelMainForm::FormatSetting()
{
    TSettingForm form(this);
    form.ShowFor(SelectedProfile());
}

void TZelMainForm::OpenFolder()
{
    OpenFolderOrSay(edtOutputFolder->text());
}

void TZelMainForm::OpenFolderOrSay(const QString& folder)
{
    if (Shell().OpenFolder(folder)) return;
    Prompter().Message(this, QMessageBox::Warning,
                       QString("The folder \"%1\" could not be opened: no file manager was found.").arg(folder));
}

void TZelMainForm::About()
{
    TAboutBox box(this);
    box.exec();
}

void TZelMainForm::Help()
{
    if (!HelpWindow) HelpWindow = new THelpWindow(QString::fromStdString(FPlaces.HelpFolder), this);
    HelpWindow->ShowPage();
}

bool TZelMainForm::PrepareBatch(int limit, std::string& ext)
{
    const QString folder = edtOutputFolder->text();
    if (folder.isEmpty() || (!QFileInfo(folder).isDir() && !QDir().mkdir(folder))) return false;
    for (int row = 0; row < lvFileList->rowCount(); ++row) {
        lvFileList->item(row, colStatus)->setText("-");
        lvFileList->item(row, colStatus)->setToolTip(QString());
        lvFileList->item(row, colDestination)->setText(QString());
        lvFileList->item(row, colDestination)->setToolTip(QString());
        lvFileList->item(row, colDetails)->setText(QString());
        lvFileList->item(row, colDetails)->setToolTip(QString());
    }
    Converter->SetFormatIndex(SelectedProfile());
    ApplyOutputRules();
    ext = IniOptions.GetFormat(SelectedProfile()).Ext;
    return Converter->PrepareBatch(folder.toStdString(), limit);
}

void TZelMainForm::Convert()
{
    if (PlayerState == player::psPlay || PlayerState == player::psResume) StopPreview();
    std::string ext;
    bool prepared = false;
    {
        // Preparing repaints the window now and then; nothing may change the list meanwhile.
        const TInputFreeze freeze(this);
        FPreparing = true;
        try {
            prepared = PrepareBatch(workflow::MaxBatchFiles, ext);
        } catch (...) {
            FPreparing = false;
            throw;
        }
        FPreparing = false;
    }
    if (!prepared) {
        Prompter().Message(this, QMessageBox::Warning,
                           "The output folder does not exist and could not be created. Please choose another output folder.");
        return;
    }
    if (!FEndRequested) {
        TConvertForm form(*Converter, [this] { OpenFolder(); }, this);
        ProgressForm = &form;
        form.BeginBatch(Converter->Files.Count(), ext, IniOptions.Jobs);
        ProgressForm = nullptr;
    }
    ShowOutcomes();
    if (FEndRequested) {
        SaveSettings();
        // The last window closed ends the application's loop.
        close();
        return;
    }
    if (!FPendingPaths.isEmpty()) {
        const QStringList paths = FPendingPaths;
        FPendingPaths.clear();
        AddPaths(paths);
    }
}

void TZelMainForm::ShowOutcomes()
{
    for (int i = 0; i < Converter->Files.Count() && i < lvFileList->rowCount(); ++i) {
        const TInputFile& file = Converter->Files.Items(i);
        // Why a file failed or got no task, where the user looks for it.
        const QString reason = QString::fromStdString(file.Reason);
        lvFileList->item(i, colStatus)->setToolTip(reason);
        lvFileList->item(i, colDetails)->setText(reason);
        lvFileList->item(i, colDetails)->setToolTip(reason);
        switch (file.Status) {
        case workflow::foSucceeded:
            lvFileList->item(i, colStatus)->setText("Success");
            lvFileList->item(i, colDestination)->setText(FileNamePart(file.OutputOptions.FileName));
            lvFileList->item(i, colDestination)->setToolTip(QString::fromStdString(file.OutputOptions.FileName));
            break;
        case workflow::foFailed:
            lvFileList->item(i, colStatus)->setText("Failed");
            if (reason.isEmpty()) lvFileList->item(i, colDetails)->setText("The conversion failed.");
            break;
        case workflow::foCancelled:
            lvFileList->item(i, colStatus)->setText("Canceled");
            break;
        case workflow::foSkipped:
        case workflow::foInterrupted:
            lvFileList->item(i, colStatus)->setText(QString::fromStdString(workflow::OutcomeText(file.Status)));
            break;
        default:
            // Never started (gone or emptied before its turn, or beyond the batch's limit).
            if (!reason.isEmpty()) lvFileList->item(i, colStatus)->setText("Failed");
            break;
        }
    }
    Converter->ClearTasks();
    SaveList();
}

void TZelMainForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (FCentred) return;
    FCentred = true;
    if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void TZelMainForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    PlaceControls();
}

// The list and the profile and folder boxes take what the window grows by; the
// preview pane keeps to the top right, Convert to the bottom right.
void TZelMainForm::PlaceControls()
{
    const int w = std::max(width(), 730), h = std::max(height(), 571);
    const int right = w - 10, listBottom = h - 157;
    imgTop->setGeometry(0, 0, w, 60);
    ShowBanner(w);
    btnAbout->move(w - 42, 14);
    btnHelp->move(w - 78, 14);
    pnlPreview->move(right - pnlPreview->width(), 68);
    const int listRight = pnlPreview->x() - 10;
    lvFileList->setGeometry(10, 114, listRight - 10, listBottom - 114);
    if (!FColumnsChosen) ShareColumnWidths();
    const int step = (listRight - 10 + 3) / 4;
    QToolButton* const under[] = {btnRemoveFile, btnClear, btnMoveUp, btnMoveDown};
    for (int i = 0; i < 4; ++i) under[i]->setGeometry(10 + i * step, listBottom + 6, step - 3, 32);
    const int rowY = h - 109, boxWidth = w - 310;
    lblFormat->move(10, rowY);
    cbbFormatEx->setGeometry(110, rowY, boxWidth, 24);
    btnSetting->move(110 + boxWidth + 6, rowY - 1);
    lblOutputFolder->move(10, rowY + 34);
    edtOutputFolder->setGeometry(110, rowY + 34, boxWidth, 24);
    btnOpenFolder->move(110 + boxWidth + 6, rowY + 33);
    lblJobs->move(10, rowY + 68);
    spnJobs->move(lblJobs->x() + lblJobs->width() + 6, rowY + 68);
    if (chkKeepFolders) {   // made after the first placing
        chkKeepFolders->move(236, rowY + 68);
        lblIfExists->move(392, rowY + 68);
        cbbIfExists->move(462, rowY + 68);
    }
    btnConvert->move(right - btnConvert->width(), h - 99);
}

// A heading narrower than its text ends in "..." instead of being cut at both sides
// (the style only clips it); the whole heading shows on hover.
void TZelMainForm::FitHeading(int column)
{
    QTableWidgetItem* heading = lvFileList->horizontalHeaderItem(column);
    if (!heading) return;
    if (heading->toolTip().isEmpty()) heading->setToolTip(heading->text());
    const QHeaderView* header = lvFileList->horizontalHeader();
    const int margin = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header) + 4;
    heading->setText(header->fontMetrics().elidedText(heading->toolTip(), Qt::ElideRight,
                                                      header->sectionSize(column) - margin));
}

// Room for the names of a list at the first start, within the screen; the minimum on
// small screens.
QSize TZelMainForm::FirstWindowSize() const
{
    QSize size(960, 640);
    if (const QScreen* s = QGuiApplication::primaryScreen()) size = size.boundedTo(s->availableGeometry().size());
    return size.expandedTo(minimumSize());
}

void TZelMainForm::ShareColumnWidths()
{
    // The rows' width with room for the scroll bar a long list brings.
    const int available = lvFileList->width() - 2 * lvFileList->frameWidth() -
                          lvFileList->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, lvFileList);
    const TColumnWidths widths = SharedColumnWidths(available);
    FSharingColumns = true;
    for (int c = 0; c < ListColumnCount; ++c) lvFileList->setColumnWidth(c, widths[static_cast<std::size_t>(c)]);
    FSharingColumns = false;
}

// The banner as wide as the window: its last column carried on to the right edge.
void TZelMainForm::ShowBanner(int width)
{
    if (FBanner.isNull()) FBanner = LoadPicture("MainImage.png");
    if (FBanner.isNull() || width <= FBanner.width()) {
        imgTop->setPixmap(FBanner);
        return;
    }
    QPixmap wide(width, FBanner.height());
    wide.fill(Qt::transparent);
    QPainter painter(&wide);
    painter.drawPixmap(0, 0, FBanner);
    painter.drawPixmap(QRect(FBanner.width(), 0, width - FBanner.width(), FBanner.height()), FBanner,
                       QRect(FBanner.width() - 1, 0, 1, FBanner.height()));
    painter.end();
    imgTop->setPixmap(wide);
}

void TZelMainForm::ReadWindowState()
{
    const workflow::TIniFile ini(FPlaces.SettingsFile);
    FLastFolder = QString::fromStdString(ini.ReadString("Window", "LastFolder", ""));
    const QByteArray geometry =
        QByteArray::fromBase64(QByteArray::fromStdString(ini.ReadString("Window", "Geometry", "")));
    if (!geometry.isEmpty() && restoreGeometry(geometry)) FCentred = true;
    const QStringList widths = QString::fromStdString(ini.ReadString("Window", "Columns", "")).split(',');
    for (int c = 0; c < widths.size() && c < lvFileList->columnCount(); ++c) {
        bool ok = false;
        const int width = widths[c].toInt(&ok);
        // A width from a damaged file must not hide a column or push the rest away.
        if (ok && width >= 20 && width <= 2000) lvFileList->setColumnWidth(c, width);
    }
}

void TZelMainForm::SaveWindowState()
{
    workflow::TIniFile ini(FPlaces.SettingsFile);
    ini.WriteString("Window", "Geometry", saveGeometry().toBase64().toStdString());
    // Widths the window chose itself are chosen again for the next start's size.
    QStringList widths;
    for (int c = 0; FColumnsChosen && c < lvFileList->columnCount(); ++c)
        widths << QString::number(lvFileList->columnWidth(c));
    ini.WriteString("Window", "Columns", widths.join(',').toStdString());
    ini.WriteString("Window", "LastFolder", FLastFolder.toStdString());
    ini.UpdateFile();
}

void TZelMainForm::ReceiveHandedPaths(const QStringList& paths)
{
    BringToFront();
    // The list stays as it is while a batch is prepared or runs.
    if (FPreparing || ProgressForm) {
        FPendingPaths << paths;
        return;
    }
    if (!paths.isEmpty()) RunAction("Open", [&] { AddPaths(paths); });
}

void TZelMainForm::BringToFront()
{
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}

void TZelMainForm::EndApplication()
{
    if (FEndRequested) return;
    FEndRequested = true;
    // Written at once: whatever happens next, the user's choices are kept.
    SaveSettings();
    // A batch ends through its dialog; Convert quits after it.
    if (ProgressForm) {
        ProgressForm->EndWithoutAsking();
        return;
    }
    if (FPreparing) return;
    // Open dialogs are cancelled; the main window goes last, which ends the loop.
    QApplication::closeAllWindows();
    close();
}

void TZelMainForm::closeEvent(QCloseEvent* event)
{
    // A batch being prepared or running ends through its own dialog.
    if (FPreparing || ProgressForm) {
        event->ignore();
        return;
    }
    // The help window goes with the application.
    if (HelpWindow) HelpWindow->close();
    QWidget::closeEvent(event);
}

void TZelMainForm::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TZelMainForm::dropEvent(QDropEvent* event)
{
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    event->acceptProposedAction();
    RunAction("Drop", [&] { AddPaths(paths); });
}

}  // namespace kv::app
