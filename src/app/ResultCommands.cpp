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

#include "app/Main.h"
#include "app/QtText.h"
#include "metainfo/TorrentEx.h"
#include "results/ResultsFile.h"
#include "search/SearchState.h"

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
    textRow->addWidget(new QLabel(QStringLiteral("Fi&nd what:"), FindDialog));
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
    m_model->Clear();
    try {
        TResultsFile file = ReadResultsFile(localPath(path));
        if (file.Fields.Empty) return true;  // no comment: nothing to load, and nothing said
        if (file.Fields.Category) m_state->SearchCategory = *file.Fields.Category;
        if (!file.Fields.Keyword)
            throw EResultsFileError("The results file has no keyword text in its comment");
        m_state->SearchKeyword = *file.Fields.Keyword;
        m_model->SetSearchKeyword(m_state->SearchKeyword);
        cbKeyword->setEditText(BytesToQString(m_state->SearchKeyword));
        const int category = m_state->SearchCategory;
        cbCat->setCurrentIndex(category >= 0 && category < cbCat->count() ? category : -1);
        std::vector<std::unique_ptr<TTorrentEx>> entries;
        entries.reserve(file.Entries.size());
        for (TResultsFileEntry& entry : file.Entries) entries.push_back(std::move(entry.Torrent));
        m_model->AddTorrentNodes(std::move(entries));
    } catch (const std::exception& e) {
        showError(QString::fromUtf8(e.what()));
        return false;
    }
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
    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        SaveResultsFile(path);
    } catch (const std::exception& e) {
        QApplication::restoreOverrideCursor();
        showError(QString::fromUtf8(e.what()));
        return;
    }
    QApplication::restoreOverrideCursor();
}

void TMainForm::actLoadExecute()
{
    UpdateActions();
    if (!actLoad->isEnabled()) return;
    const QString path = ChooseOpenFile();
    if (path.isEmpty()) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    LoadResultsFile(path);
    QApplication::restoreOverrideCursor();
    UpdateActions();
}

// ---- torrent commands

void TMainForm::OpenSelectedTorrents()
{
    QModelIndexList rows = treeSeed->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    const QString folder = QDir::tempPath();
    for (const QModelIndex& index : rows) {
        const TTorrentEx* torrent = m_model->NodeData(index).Torrent;
        if (!torrent) continue;  // file rows
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
        OpenDocument(QUrl::fromLocalFile(path));
    }
}

void TMainForm::actSaveTorrentExecute()
{
    UpdateActions();
    if (!actSaveTorrent->isEnabled()) return;
    const TTorrentEx* torrent = m_model->NodeData(treeSeed->currentIndex()).Torrent;
    if (!torrent) return;
    SaveDialog->setDefaultSuffix(QStringLiteral("torrent"));
    SaveDialog->setNameFilters(TorrentFileFilter);
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
    m_model->DeleteRows(treeSeed->selectionModel()->selectedRows());
    UpdateActions();
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
