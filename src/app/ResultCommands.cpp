// The main window's results-file and torrent commands: Save and Load Search
// Result, Download, Save Torrent, Delete, Find and Find Next. The file format
// and the matching rules live in the core and the model; this is the glue.

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>

#include "app/DesktopIntegration.h"
#include "app/GuiMessages.h"
#include "app/Main.h"
#include "app/QtText.h"
#include "metainfo/TorrentEx.h"
#include "results/ResultsFile.h"
#include "search/SearchState.h"
#include "tracker/CheckPingThread.h"

namespace sorvena {

namespace {

const QStringList ResultsFileFilter = {QStringLiteral("Sorvena Files (*.vrk)"), QStringLiteral("All Files (*)")};
const QStringList TorrentFileFilter = {QStringLiteral("Torrent Files (*.torrent)"), QStringLiteral("All Files (*)")};

std::string localPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Writes a file the way Save Torrent and Download do: created anew or emptied.
void writeFile(const QString& path, const std::string& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) ||
        !file.flush())
        throw std::runtime_error(QStringLiteral("Cannot write \"%1\": %2").arg(path, file.errorString()).toStdString());
}

// The hourglass while the window works; restored when it goes, or before a
// message box asks the user something.
class BusyPointer {
public:
    BusyPointer() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyPointer() { Restore(); }
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;
    void Restore()
    {
        if (m_set) QApplication::restoreOverrideCursor();
        m_set = false;
    }

private:
    bool m_set = true;
};

}  // namespace

void TMainForm::createCommandDialogs()
{
    SaveDialog = new QFileDialog(this);
    SaveDialog->setObjectName(QStringLiteral("SaveDialog"));
    SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog->setFileMode(QFileDialog::AnyFile);  // asks before overwriting (the default)
    OpenDialog = new QFileDialog(this);
    OpenDialog->setObjectName(QStringLiteral("OpenDialog"));
    OpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog->setFileMode(QFileDialog::ExistingFile);
    OpenDialog->setNameFilters(ResultsFileFilter);
    OpenDialog->setDefaultSuffix(QStringLiteral("vrk"));

    FindDialog = new QDialog(this);
    FindDialog->setObjectName(QStringLiteral("FindDialog"));
    FindDialog->setWindowTitle(QStringLiteral("Find"));
    FindDialog->setModal(false);
    edFindText = new QLineEdit(m_findText, FindDialog);
    edFindText->setObjectName(QStringLiteral("edFindText"));
    cbFindWholeWord = new QCheckBox(QStringLiteral("Match &whole word only"), FindDialog);
    cbFindWholeWord->setObjectName(QStringLiteral("cbFindWholeWord"));
    cbFindMatchCase = new QCheckBox(QStringLiteral("Match &case"), FindDialog);
    cbFindMatchCase->setObjectName(QStringLiteral("cbFindMatchCase"));
    auto* direction = new QGroupBox(QStringLiteral("Direction"), FindDialog);
    rbFindUp = new QRadioButton(QStringLiteral("&Up"), direction);
    rbFindUp->setObjectName(QStringLiteral("rbFindUp"));
    rbFindDown = new QRadioButton(QStringLiteral("&Down"), direction);
    rbFindDown->setObjectName(QStringLiteral("rbFindDown"));
    rbFindDown->setChecked(true);
    auto* directionLayout = new QHBoxLayout(direction);
    directionLayout->addWidget(rbFindUp);
    directionLayout->addWidget(rbFindDown);
    auto* buttons = new QDialogButtonBox(Qt::Vertical, FindDialog);
    QPushButton* findNext = buttons->addButton(QStringLiteral("&Find Next"), QDialogButtonBox::ActionRole);
    findNext->setObjectName(QStringLiteral("btnFindNext"));
    findNext->setDefault(true);
    buttons->addButton(QDialogButtonBox::Cancel);
    auto* textRow = new QHBoxLayout;
    auto* findWhat = new QLabel(QStringLiteral("Fi&nd what:"), FindDialog);
    findWhat->setBuddy(edFindText);  // Alt+N goes to the text; the "&" is not shown
    textRow->addWidget(findWhat);
    textRow->addWidget(edFindText);
    auto* left = new QVBoxLayout;
    left->addLayout(textRow);
    auto* optionRow = new QHBoxLayout;
    auto* options = new QVBoxLayout;
    options->addWidget(cbFindWholeWord);
    options->addWidget(cbFindMatchCase);
    optionRow->addLayout(options);
    optionRow->addWidget(direction);
    left->addLayout(optionRow);
    auto* layout = new QHBoxLayout(FindDialog);
    layout->addLayout(left);
    layout->addWidget(buttons);
    connect(findNext, &QPushButton::clicked, this, &TMainForm::FindDialogFind);
    connect(buttons, &QDialogButtonBox::rejected, FindDialog, &QDialog::reject);
    connect(edFindText, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_findText = text;
        UpdateActions();
    });

    connect(actSaveAll, &QAction::triggered, this, &TMainForm::actSaveAllExecute);
    connect(actLoad, &QAction::triggered, this, &TMainForm::actLoadExecute);
    connect(actDownload, &QAction::triggered, this, &TMainForm::OpenSelectedTorrents);
    connect(actSaveTorrent, &QAction::triggered, this, &TMainForm::actSaveTorrentExecute);
    connect(actDeleteTorrent, &QAction::triggered, this, &TMainForm::actDeleteTorrentExecute);
    connect(actCheckPeers, &QAction::triggered, this, &TMainForm::actCheckPeersExecute);
    connect(actFind, &QAction::triggered, this, &TMainForm::actFindExecute);
    connect(actFindNext, &QAction::triggered, this, &TMainForm::FindNextMatch);

    // A hidden Find match stays the find position only while nothing moves.
    const auto forget = [this] { m_hiddenFindPos = {}; };
    connect(m_model, &QAbstractItemModel::modelReset, this, forget);
    connect(m_model, &QAbstractItemModel::layoutChanged, this, forget);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, forget);
    connect(treeSeed->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid()) m_hiddenFindPos = {};
            });
}

void TMainForm::showError(const QString& text)
{
    ShowMessageBox(QMessageBox::Critical, text, QMessageBox::Ok);
}

QString TMainForm::ChooseSaveFile()
{
    if (SaveDialog->exec() != QDialog::Accepted || SaveDialog->selectedFiles().isEmpty()) return {};
    return SaveDialog->selectedFiles().constFirst();
}

QString TMainForm::ChooseOpenFile()
{
    if (!m_options.OpenDir.empty()) OpenDialog->setDirectory(BytesToQString(m_options.OpenDir));
    if (OpenDialog->exec() != QDialog::Accepted || OpenDialog->selectedFiles().isEmpty()) return {};
    return OpenDialog->selectedFiles().constFirst();
}

bool TMainForm::ConfirmDelete()
{
    // A system box of its own, not owned by the window.
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Confirm"),
                    QStringLiteral("Are you sure delete selected torrent file(s)?"), QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

// ---- results file

void TMainForm::SaveResultsFile(const QString& path)
{
    std::vector<const TTorrentFile*> torrents;
    torrents.reserve(static_cast<size_t>(m_model->TorrentRowCount()));
    for (int row = 0; row < m_model->TorrentRowCount(); ++row)
        torrents.push_back(m_model->TorrentAt(row));
    sorvena::SaveResultsFile(localPath(path), torrents, m_state->SearchCategory, m_state->SearchKeyword);
}

bool TMainForm::LoadResultsFile(const QString& path)
{
    BusyPointer busy;
    // The whole file is read and checked first: the list on screen is
    // replaced only by one that loaded.
    TResultsFile file;
    try {
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly)) throw EResultsFileError(in.errorString().toStdString());
        const TResultsFileLimits limits;
        if (static_cast<uint64_t>(in.size()) > limits.MaxFileBytes)
            throw EResultsFileError("The results file is too large");
        const QByteArray bytes = in.readAll();
        if (in.error() != QFileDevice::NoError) throw EResultsFileError(in.errorString().toStdString());
        file = ReadResultsArchive(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), limits);
        if (!file.Fields.Empty && !file.Fields.Keyword)
            throw EResultsFileError("Its comment holds no keyword text (no \";\")");
    } catch (const std::exception& e) {
        busy.Restore();  // the pointer of a window waiting for an answer
        showError(QStringLiteral("\"%1\" could not be loaded.\n\n%2.")
                      .arg(QDir::toNativeSeparators(path), QString::fromUtf8(e.what())));
        return false;
    }
    m_model->Clear();
    if (file.Fields.Empty) return true;  // no comment: nothing to load, and nothing said
    if (file.Fields.Category) m_state->SearchCategory = *file.Fields.Category;
    m_state->SearchKeyword = *file.Fields.Keyword;
    m_model->SetSearchKeyword(m_state->SearchKeyword);
    cbKeyword->setEditText(BytesToQString(m_state->SearchKeyword));
    const int category = m_state->SearchCategory;
    cbCat->setCurrentIndex(category >= 0 && category < cbCat->count() ? category : -1);
    std::vector<std::unique_ptr<TTorrentEx>> entries;
    entries.reserve(file.Entries.size());
    for (TResultsFileEntry& entry : file.Entries) entries.push_back(std::move(entry.Torrent));
    m_model->AddTorrentNodes(std::move(entries));
    return true;
}

void TMainForm::actSaveAllExecute()
{
    UpdateActions();
    if (!actSaveAll->isEnabled()) return;
    SaveDialog->setDefaultSuffix(QStringLiteral("vrk"));
    SaveDialog->setNameFilters(ResultsFileFilter);
    const QString path = ChooseSaveFile();
    if (path.isEmpty()) return;
    BusyPointer busy;
    try {
        SaveResultsFile(path);
    } catch (const std::exception& e) {
        busy.Restore();
        showError(QString::fromUtf8(e.what()));
    }
}

void TMainForm::actLoadExecute()
{
    UpdateActions();
    if (!actLoad->isEnabled()) return;
    const QString path = ChooseOpenFile();
    if (path.isEmpty()) return;
    LoadResultsFile(path);
    UpdateActions();
}

// ---- torrent commands

bool TMainForm::CanOpenTorrentFiles()
{
    return HasProgramForType(QStringLiteral("application/x-bittorrent"));
}

void TMainForm::OpenSelectedTorrents()
{
    const QString folder = QDir::tempPath();
    // Without a program for torrent files the shell's "open" starts nothing
    // and says nothing: the files are written all the same, and the user told.
    const bool canOpen = CanOpenTorrentFiles();
    int written = 0;
    for (const int position : selectedTorrentPositions()) {  // file rows skipped
        const TTorrentEx* torrent = m_model->TorrentAt(position);
        if (torrent->IsMagnet()) {
            // No torrent file yet: the desktop's handler of magnet links takes the link.
            OpenDocument(QUrl(BytesToQString(torrent->MagnetUri)));
            continue;
        }
        // The name is cleaned for the path: a raw name with "/" or ".." would
        // point outside the temporary folder. The content is the torrent's own.
        const QString path = folder + QLatin1Char('/') + QString::fromUtf8(TorrentFileName(torrent->TorrentName));
        try {
            writeFile(path, WriteMetainfo(*torrent));
        } catch (const std::exception& e) {
            showError(QString::fromUtf8(e.what()));
            return;  // those after it are not opened
        }
        ++written;
        if (canOpen && !OpenDocument(QUrl::fromLocalFile(path))) {
            noProgramForTorrents(folder);
            return;
        }
    }
    if (!canOpen && written > 0) noProgramForTorrents(folder);
}

void TMainForm::noProgramForTorrents(const QString& folder)
{
    ShowMessageBox(QMessageBox::Information,
                   QStringLiteral("No program is registered to open torrent files, so none was started.\n\n"
                                  "The torrent files were saved in \"%1\"; install a BitTorrent client, or "
                                  "open them from there.")
                       .arg(QDir::toNativeSeparators(folder)),
                   QMessageBox::Ok);
}

QString TMainForm::SaveDialogFileName() const
{
    const QStringList files = SaveDialog->selectedFiles();
    return files.isEmpty() ? QString() : QFileInfo(files.constFirst()).fileName();
}

void TMainForm::actSaveTorrentExecute()
{
    UpdateActions();
    if (!actSaveTorrent->isEnabled()) return;
    const TResultModel::TRowPos focused = focusedPosition();
    if (!focused.IsValid() || focused.File >= 0) return;
    const TTorrentEx* torrent = m_model->TorrentAt(focused.Torrent);
    SaveDialog->setDefaultSuffix(QStringLiteral("torrent"));
    SaveDialog->setNameFilters(TorrentFileFilter);
    SaveDialog->selectFile(QString::fromUtf8(TorrentFileName(torrent->TorrentName)));  // its own name, cleaned
    const QString path = ChooseSaveFile();
    if (path.isEmpty()) return;
    try {
        writeFile(path, WriteMetainfo(*torrent));
    } catch (const std::exception& e) {
        showError(QString::fromUtf8(e.what()));
    }
}

void TMainForm::actDeleteTorrentExecute()
{
    QApplication::beep();
    if (!ConfirmDelete()) return;
    if (m_allSelected) {
        m_model->Clear();  // every row, hidden ones included
    } else {
        const std::vector<TResultModel::TRowPos> rows = selectedPositions();
        m_hiddenFindPos = {};
        m_model->DeleteRows(rows);
    }
    UpdateActions();
}

void TMainForm::actCheckPeersExecute()
{
    UpdateActions();
    if (!actCheckPeers->isEnabled()) return;
    // Not in the search's list: Stop does not end these checks; closing the window does.
    std::erase_if(m_manualChecks, [](const auto& check) { return check.expired(); });
    for (const int position : selectedTorrentPositions()) {
        m_model->ResetPeerCount(position);
        try {
            auto check = TCheckPingThread::Create(*m_model->TorrentAt(position), m_messages, m_peerCheckOptions);
            check->Start();
            m_manualChecks.push_back(check);
        } catch (const std::exception& e) {
            trace(__func__, e);  // no thread: the torrent stays uncounted
        }
    }
    treeSeed->viewport()->update();
}

void TMainForm::actFindExecute()
{
    FindDialog->show();
    FindDialog->raise();
    FindDialog->activateWindow();
}

void TMainForm::FindDialogFind()
{
    FindNextMatch();
}

void TMainForm::FindNextMatch()
{
    const bool matchCase = cbFindMatchCase->isChecked();
    const bool wholeWord = cbFindWholeWord->isChecked();
    const bool forward = !rbFindUp->isChecked();
    const TResultModel::TRowPos from =
        m_hiddenFindPos.IsValid() ? m_hiddenFindPos : m_model->PositionOf(treeSeed->currentIndex());
    const TResultModel::TRowPos found = m_model->FindRow(from, m_findText, matchCase, wholeWord, forward);
    if (!found.IsValid()) {
        QApplication::beep();
        ShowMessageBox(QMessageBox::Information, QLatin1Char('"') + m_findText + QStringLiteral("\" is not found."),
                       QMessageBox::Ok);
        return;
    }
    if (!treeSeed->hasFocus()) treeSeed->setFocus();
    treeSeed->selectionModel()->clearSelection();
    const QModelIndex index = m_model->IndexOf(found);
    if (index.isValid()) {
        if (index.parent().isValid()) treeSeed->expand(index.parent());
        treeSeed->selectionModel()->setCurrentIndex(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        treeSeed->scrollTo(index);
    } else {
        // Hidden by a filter: nothing to draw or select, but the search goes on from it.
        treeSeed->selectionModel()->setCurrentIndex({}, QItemSelectionModel::Clear);
        m_hiddenFindPos = found;
    }
    FindDialog->hide();
}

}  // namespace sorvena
