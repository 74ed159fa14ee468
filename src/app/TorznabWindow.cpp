// The window's side of Torznab endpoints and magnet rows: the Indexers list
// of the Option page, the Copy Magnet Link and Fetch File List commands, and
// a full torrent taking its magnet row's place.

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QStatusBar>
#include <QTreeView>

#include <algorithm>

#include "app/GuiMessages.h"
#include "app/IndexersPanel.h"
#include "app/Main.h"
#include "app/QtText.h"
#include "app/ResultModel.h"
#include "app/Settings.h"
#include "base/Trace.h"
#include "metainfo/Magnet.h"
#include "search/SearchState.h"

namespace sorvena {

namespace {

constexpr int IndexersLeft = 16;
constexpr int IndexersTop = 168;  // below the six option boxes
constexpr int IndexersWidth = 460;
constexpr int IndexersHeight = 250;
constexpr int MetadataStatusMs = 10000;  // how long the status bar tells of a Fetch File List

}  // namespace

void TMainForm::createIndexersPanel(QWidget* optionPage)
{
    pnlIndexers = new TIndexersPanel(optionPage);
    pnlIndexers->setGeometry(IndexersLeft, IndexersTop, IndexersWidth, IndexersHeight);
    pnlIndexers->OnChanged([this](const std::vector<TTorznabEndpoint>& endpoints) {
        // The next search uses them; a running one keeps the sources it started.
        m_state->Endpoints = endpoints;
        if (m_settingsPath.isEmpty()) return;
        if (std::string reason; !WriteEndpointsToSettingsFile(m_settingsPath, endpoints, reason))
            TraceError(__FILE__, __LINE__, __func__, QStringToBytes(m_settingsPath) + ": " + reason);
    });
}

void TMainForm::SetTorznabEndpoints(const std::vector<TTorznabEndpoint>& endpoints)
{
    m_state->Endpoints = endpoints;
    pnlIndexers->SetEndpoints(endpoints);
}

QString TMainForm::SiteFailureText(int siteIndex) const
{
    const std::string reason = m_state->SiteFailure(siteIndex);
    if (reason.empty()) return {};
    return BytesToQString(m_state->SiteDisplayName(siteIndex)) + QStringLiteral(": ") + BytesToQString(reason);
}

void TMainForm::connectMagnetCommands()
{
    connect(actCopyMagnet, &QAction::triggered, this, &TMainForm::actCopyMagnetExecute);
    connect(actFetchFileList, &QAction::triggered, this, &TMainForm::actFetchFileListExecute);
}

void TMainForm::SetMetadataOptions(const MetadataThreadOptions& options)
{
    m_metadataOptions = options;
    m_state->MetadataOptions = options;
}

void TMainForm::cbAutoFetchFilesClick(bool checked)
{
    m_options.AutoFetchFiles = checked;
    m_state->SetAutoFetchFiles(checked);  // workers read it at every hand-over
}

bool TMainForm::anyMagnetSelected() const
{
    // Walks the selection without building a list of it: this runs whenever
    // the window is idle, also with a hundred thousand rows selected.
    const auto isMagnet = [this](int position) { return m_model->TorrentAt(position)->IsMagnet(); };
    if (m_allSelected) {
        for (int t = 0; t < m_model->TorrentRowCount(); ++t)
            if (isMagnet(t)) return true;
        return false;
    }
    if (m_hiddenFindPos.IsValid()) return m_hiddenFindPos.File < 0 && isMagnet(m_hiddenFindPos.Torrent);
    for (const QItemSelectionRange& range : treeSeed->selectionModel()->selection()) {
        if (range.parent().isValid()) continue;  // file rows
        for (int row = range.top(); row <= range.bottom(); ++row)
            if (const TTorrentEx* torrent = m_model->NodeData(m_model->index(row, 0)).Torrent; torrent && torrent->IsMagnet())
                return true;
    }
    return false;
}

void TMainForm::updateMagnetActions(bool torrentSelected)
{
    actCopyMagnet->setEnabled(torrentSelected);
    actFetchFileList->setEnabled(torrentSelected && anyMagnetSelected());
    // A magnet row has no torrent file to save until the full torrent is known.
    const TTorrentEx* focused = m_model->NodeData(treeSeed->currentIndex()).Torrent;
    if (focused && focused->IsMagnet()) actSaveTorrent->setEnabled(false);
}

void TMainForm::actCopyMagnetExecute()
{
    UpdateActions();
    if (!actCopyMagnet->isEnabled()) return;
    QModelIndexList rows = treeSeed->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList links;
    for (const QModelIndex& index : rows)
        if (const TTorrentEx* torrent = m_model->NodeData(index).Torrent)
            links << BytesToQString(EntryMagnetUri(*torrent));
    if (!links.isEmpty()) QGuiApplication::clipboard()->setText(links.join(QLatin1Char('\n')));
}

bool TMainForm::replaceMagnetRow(std::unique_ptr<TTorrentEx>& entry)
{
    return m_model->ReplaceMagnetNode(entry);
}

void TMainForm::terminateManualFetches()
{
    for (const auto& fetch : m_manualFetches)
        if (const auto worker = fetch.lock()) worker->Terminate();
}

void TMainForm::actFetchFileListExecute()
{
    UpdateActions();
    if (!actFetchFileList->isEnabled()) return;
    std::erase_if(m_manualFetches, [](const std::weak_ptr<TMetadataThread>& w) { return w.expired(); });
    const auto fetching = [this](const std::string& hash) {
        if (m_state->MetadataThreadRunning(hash)) return true;
        return std::any_of(m_manualFetches.begin(), m_manualFetches.end(), [&](const auto& w) {
            const auto worker = w.lock();
            return worker && !worker->Ended() && worker->InfoHashHex() == hash;
        });
    };
    int started = 0;
    for (const int position : selectedTorrentPositions()) {
        const TTorrentEx& row = *m_model->TorrentAt(position);
        if (!row.IsMagnet() || fetching(row.InfoHashHex)) continue;
        try {
            auto worker = TMetadataThread::Create(row, m_messages, m_metadataOptions);
            m_manualFetches.push_back(worker);
            m_model->SetMagnetNote(row.InfoHashHex, QStringLiteral("being fetched from the swarm"));
            worker->Queue();
            ++started;
        } catch (const std::exception& e) {
            m_model->SetMagnetNote(row.InfoHashHex, QString());
            trace(__func__, e);
        }
    }
    if (started > 0)
        statusBar()->showMessage(started == 1 ? QStringLiteral("Fetching the file list of 1 magnet link...")
                                              : QStringLiteral("Fetching the file lists of %1 magnet links...").arg(started),
                                 MetadataStatusMs);
}

void TMainForm::MsgMetadataFound(std::string_view infoHashHex, std::unique_ptr<TTorrentEx> torrent,
                                 std::string_view reason)
{
    // In any state: fetches go on after a search and run without one. A row
    // that is gone or already has its files matches nothing here.
    if (infoHashHex.empty()) return;
    try {
        const bool manual = std::any_of(m_manualFetches.begin(), m_manualFetches.end(), [&](const auto& w) {
            const auto worker = w.lock();
            return worker && worker->InfoHashHex() == infoHashHex;
        });
        if (!torrent) {
            const QString why = QStringLiteral("not fetched: ") + BytesToQString(reason);
            if (m_model->SetMagnetNote(infoHashHex, why) && manual)
                statusBar()->showMessage(QStringLiteral("No file list: ") + BytesToQString(reason), MetadataStatusMs);
            return;
        }
        if (torrent->InfoHashHex != infoHashHex) return;
        const int files = static_cast<int>(torrent->SubFiles.size());
        if (!replaceMagnetRow(torrent)) return;
        if (m_searching) m_fetchedHashes.insert(std::string(infoHashHex));
        m_fileTotal += files;
        // The report of a finished search counts the files found since.
        if (!m_searching && !m_summary.isEmpty())
            m_summary = QStringLiteral("%1 torrents and %2 files found.").arg(m_torrentCount).arg(m_fileTotal);
        updateStatus();
        UpdateActions();
    } catch (const std::exception& e) {
        trace(__func__, e);
    }
}

}  // namespace sorvena
