#include "app/ZelMainFrm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
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
#include "app/Pictures.h"
#include "app/Prompter.h"
#include "app/SettingFrm.h"
#include "app/Shell.h"
#include "workflow/BatchObserver.h"
#include "workflow/IniOptions.h"
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
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      FPlaces(places)
{
    // 1. No previewed row; 2. Qt's own style; 3. the pictures, with the controls.
    PreviewIndex = -1;
    CreateActions();
    CreateControls();
    // 4.
    setWindowTitle(QString::fromUtf8(workflow::ApplicationTitle));
    // 5.
    PlayerState = player::psEnd;
    UpdatePlayerControls();
    setFixedSize(730, 571);
    setAcceptDrops(true);
    // 6.
    ReadSettings();
    // 7, 8, 9.
    FillFormats();
    spnJobs->setValue(IniOptions.Jobs);
    InitOutputFolder();
    RefreshActions();
    // 10. Conversions yield to the windows: the user-interface thread runs first
    // whenever both want a core.
    Converter = std::make_unique<workflow::TZelConvert>();
    Converter->Engine.SetThreadPriority(engine::tpLower);
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
    Converter.reset();
    // 4. Without telling anyone: the remembered profile stays as it is.
    cbbFormatEx->blockSignals(true);
    cbbFormatEx->clear();
    // 5.
    try {
        IniOptions.SaveToFile(FPlaces.SettingsFile);
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
    actAddFile = make("Add Files", "Add Video/Audio File(s) to Convert", QKeySequence("Ctrl+O"), [this] { ChooseFiles(); });
    actAddFolder = make("Add Folder", "Add Folder to Convert", QKeySequence("Ctrl+Shift+O"), [this] { ChooseFolder(); });
    actEdit = make("Edit...", "Trim the selected file and choose its aspect", QKeySequence("Ctrl+E"), [this] { EditFile(); });
    actRemoveFile = make("Remove", "Remove the select file", QKeySequence(Qt::Key_Delete), [this] { RemoveFile(); });
    actClear = make("Clear", "Clear all files", QKeySequence("Ctrl+Shift+Del"), [this] { ClearFiles(); });
    actMoveUp = make("Move Up", "Move Up", QKeySequence("Alt+Up"), [this] { MoveRow(-1); });
    actMoveDown = make("Move Down", "Move Down", QKeySequence("Alt+Down"), [this] { MoveRow(1); });
    actFormatSetting = make("Setting...", "Setting...", QKeySequence("Ctrl+,"), [this] { FormatSetting(); });
    actOpenFolder = make("Open...", "Browser Output Folder", QKeySequence("Ctrl+Shift+F"), [this] { OpenFolder(); });
    actAbout = make("About", "About", QKeySequence(), [this] { About(); });
    actHelp = make("Help", "Help", QKeySequence(Qt::Key_F1), [this] { Help(); });
    actConvert = make("Convert", "Click to Start Convert", QKeySequence("Ctrl+Return"), [this] { Convert(); });

    actPlay = make("Play", "Play", QKeySequence(Qt::Key_Space), [this] { PlayPreview(); });
    actStop = make("Stop", "Stop", QKeySequence("Ctrl+."), [this] { StopPreview(); });
    actPrevious = make("Previous", "Previous File", QKeySequence("Ctrl+Left"), [this] { StepPreview(-1); });
    actNext = make("Next", "Next File", QKeySequence("Ctrl+Right"), [this] { StepPreview(1); });
    actSnapshot = make("Snapshot", "Snapshot", QKeySequence("Ctrl+Shift+S"), [this] { TakeSnapshot(); });
    actOpenSnapshot = make("Open Snapshot folder", "Open Snapshot folder", QKeySequence(), [this] { OpenSnapshotFolder(); });
    actSnapshotOptions = make("Snapshot Option", "Snapshot Option", QKeySequence(), [this] { SnapshotOptions(); });
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

    lvFileList = new QTableWidget(0, 6, this);
    lvFileList->setGeometry(10, 114, 410, 300);
    lvFileList->setHorizontalHeaderLabels({"Source", "Type", "Original", "Trimmed", "Status", "Distination File"});
    const int widths[] = {100, 45, 64, 64, 56, 100};
    for (int c = 0; c < 6; ++c) lvFileList->setColumnWidth(c, widths[c]);
    lvFileList->verticalHeader()->hide();
    lvFileList->verticalHeader()->setDefaultSectionSize(22);
    lvFileList->horizontalHeader()->setSectionsClickable(false);
    lvFileList->horizontalHeader()->setHighlightSections(false);
    lvFileList->setShowGrid(true);
    lvFileList->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvFileList->setSelectionMode(QAbstractItemView::SingleSelection);
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
    cbbFormatEx->setToolTip("Select Output Format");
    cbbFormatEx->setIconSize(QSize(16, 16));
    cbbFormatEx->setMaxVisibleItems(16);
    lblFormat->setBuddy(cbbFormatEx);
    connect(cbbFormatEx, &QComboBox::currentIndexChanged, this, [](int index) { IniOptions.OutputFormat = index; });
    btnSetting = ActionButton(actFormatSetting, "", QRect(536, 461, 90, 26), 16, this);

    lblOutputFolder = new QLabel("Output Folder:", this);
    lblOutputFolder->setGeometry(10, 496, 100, 24);
    edtOutputFolder = new QLineEdit(this);
    edtOutputFolder->setGeometry(110, 496, 420, 24);
    edtOutputFolder->setToolTip("Select output folder to save media...");
    // Set through its folder chooser only.
    edtOutputFolder->setReadOnly(true);
    QAction* choose = edtOutputFolder->addAction(PictureIcon("Open.png"), QLineEdit::TrailingPosition);
    choose->setToolTip("Select output folder to save media...");
    connect(choose, &QAction::triggered, this, [this] { RunAction("Output Folder", [this] { ChooseOutputFolder(); }); });
    lblOutputFolder->setBuddy(edtOutputFolder);
    btnOpenFolder = ActionButton(actOpenFolder, "", QRect(536, 495, 90, 26), 16, this);

    lblJobs = new QLabel("Simultaneous conversions:", this);
    lblJobs->setGeometry(10, 530, 160, 24);
    spnJobs = new QSpinBox(this);
    spnJobs->setGeometry(170, 530, 56, 24);
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
    cbbFormatEx->blockSignals(true);
    cbbFormatEx->clear();
    for (int i = 0; i < IniOptions.FormatCount && i < static_cast<int>(IniOptions.Formats.size()); ++i) {
        const workflow::TFormatRec& format = IniOptions.Formats[static_cast<std::size_t>(i)];
        const int category = format.Category;
        cbbFormatEx->addItem(category == 0 || category == 1 ? pictures[category] : QIcon(),
                             QString::fromStdString(format.Name));
    }
    // A remembered profile the catalogue no longer has falls back to the first one.
    int selected = IniOptions.OutputFormat;
    if (selected < 0 || selected >= cbbFormatEx->count()) selected = cbbFormatEx->count() > 0 ? 0 : -1;
    cbbFormatEx->setCurrentIndex(selected);
    cbbFormatEx->blockSignals(false);
    if (selected >= 0) IniOptions.OutputFormat = selected;
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
    const QList<QTableWidgetSelectionRange> ranges = lvFileList->selectedRanges();
    return ranges.isEmpty() ? -1 : ranges.front().topRow();
}

void TZelMainForm::RefreshActions()
{
    StopPreview();
    PlayerState = player::psStop;
    lblPreviewInfo->setText("Preview:" + RowCaption(PreviewIndex));
    const int rows = lvFileList->rowCount();
    const int selected = SelectedRow();
    actRemoveFile->setEnabled(selected >= 0);
    actEdit->setEnabled(selected >= 0);
    actClear->setEnabled(rows > 0);
    actConvert->setEnabled(rows > 0);
    actMoveUp->setEnabled(selected > 0);
    actMoveDown->setEnabled(selected >= 0 && selected < rows - 1);
    RefreshPreviewActions();
}

int TZelMainForm::AppendRow(int index)
{
    const TInputFile& file = Converter->Files.Items(index);
    const int row = lvFileList->rowCount();
    lvFileList->insertRow(row);
    const QString ext = QString::fromStdString(file.FileExt);
    const QString texts[] = {FileNamePart(file.FileName), ext, TimeText(file.DurationSec),
                             TimeText(file.TrimLength / 1000), "-", QString()};
    for (int c = 0; c < 6; ++c) {
        auto* item = new QTableWidgetItem(texts[c]);
        if (c == colType || c == colOriginal || c == colStatus) item->setTextAlignment(Qt::AlignCenter);
        lvFileList->setItem(row, c, item);
    }
    lvFileList->item(row, colSource)->setIcon(PictureIcon(IsVideoFileType(ext) ? "VideoFile.png" : "AudioFile.png"));
    lvFileList->item(row, colSource)->setToolTip(QString::fromStdString(file.FileName));
    return row;
}

void TZelMainForm::AddFiles(const QStringList& paths)
{
    for (const QString& path : paths) {
        const int index = Converter->AddFile(path.toStdString());
        if (index < 0) {
            Prompter().Message(this, QMessageBox::Information,
                               QString::fromStdString(workflow::AddFileRefusalText(index, path.toStdString())));
            continue;
        }
        lvFileList->selectRow(AppendRow(index));
    }
    RefreshActions();
}

void TZelMainForm::AddFolder(const QString& folder)
{
    int loaded = 0, failed = 0, first = -1;
    {
        const TBusyCursor busy;
        for (const QString& path : CollectVideoFiles(folder)) {
            const int index = Converter->AddFile(path.toStdString());
            if (index < 0) {
                ++failed;
                continue;
            }
            ++loaded;
            const int row = AppendRow(index);
            if (first < 0) first = row;
        }
    }
    if (first >= 0) lvFileList->selectRow(first);
    Prompter().Message(this, QMessageBox::Information,
                       QString("%1 file(s) loaded, %2 file(s) failed.").arg(loaded).arg(failed));
    RefreshActions();
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
    const QStringList paths = Prompter().ChooseFiles(this, OpenFileFilters());
    if (!paths.isEmpty()) AddFiles(paths);
}

void TZelMainForm::ChooseFolder()
{
    const QString folder = Prompter().ChooseFolder(this, "Select Folder To Converter", QDir::homePath());
    if (!folder.isEmpty()) AddFolder(folder);
}

void TZelMainForm::ChooseOutputFolder()
{
    const QString folder = Prompter().ChooseFolder(this, "Select output folder to save media...", edtOutputFolder->text());
    if (!folder.isEmpty()) SetOutputFolder(folder);
}

void TZelMainForm::SetOutputFolder(const QString& folder)
{
    edtOutputFolder->setText(folder);
    IniOptions.OutputFolder = folder.toStdString();
}

void TZelMainForm::RemoveFile()
{
    const int index = SelectedRow();
    if (index < 0) return;
    StopPreview();
    lvFileList->removeRow(index);
    const int rows = lvFileList->rowCount();
    if (rows > 0) lvFileList->selectRow(std::min(index, rows - 1));
    Converter->RemoveFile(index);
    RefreshActions();
}

void TZelMainForm::ClearFiles()
{
    PreviewIndex = -1;
    lvFileList->setRowCount(0);
    Converter->ClearFiles();
    RefreshActions();
}

void TZelMainForm::MoveRow(int delta)
{
    const int from = SelectedRow();
    const int to = from + delta;
    if (from < 0 || to < 0 || to >= lvFileList->rowCount()) return;
    Converter->Files.Exchange(from, to);
    for (int c = 0; c < lvFileList->columnCount(); ++c) {
        QTableWidgetItem* a = lvFileList->takeItem(from, c);
        QTableWidgetItem* b = lvFileList->takeItem(to, c);
        lvFileList->setItem(from, c, b);
        lvFileList->setItem(to, c, a);
    }
    lvFileList->selectRow(to);
    RefreshActions();
}

void TZelMainForm::FormatSetting()
{
    TSettingForm form(this);
    form.ShowFor(cbbFormatEx->currentIndex());
}

void TZelMainForm::OpenFolder()
{
    Shell().OpenFolder(edtOutputFolder->text());
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
        lvFileList->item(row, colDestination)->setText(QString());
    }
    Converter->SetFormatIndex(cbbFormatEx->currentIndex());
    ext = IniOptions.GetFormat(cbbFormatEx->currentIndex()).Ext;
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
                           "The output folder does not exist, please select another output folder.");
        return;
    }
    {
        TConvertForm form(*Converter, [this] { OpenFolder(); }, this);
        ProgressForm = &form;
        form.BeginBatch(Converter->Files.Count(), ext, IniOptions.Jobs);
        ProgressForm = nullptr;
    }
    ShowOutcomes();
}

void TZelMainForm::ShowOutcomes()
{
    for (int i = 0; i < Converter->Files.Count() && i < lvFileList->rowCount(); ++i) {
        const TInputFile& file = Converter->Files.Items(i);
        // Why a file failed or got no task, where the user looks for it.
        lvFileList->item(i, colStatus)->setToolTip(QString::fromStdString(file.Reason));
        if (const char* outcome = workflow::FileOutcomeText(file.Status))
            lvFileList->item(i, colStatus)->setText(outcome);
        if (file.Status == workflow::foSucceeded)
            lvFileList->item(i, colDestination)->setText(FileNamePart(file.OutputOptions.FileName));
    }
    Converter->ClearTasks();
}

void TZelMainForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (FCentred) return;
    FCentred = true;
    if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
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
