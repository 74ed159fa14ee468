// The window's side of Torznab endpoints and magnet rows: the Indexers list
// of the Option page, the Copy Magnet Link command, and a full torrent taking
// its magnet row's place.

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QTreeView>

#include <algorithm>

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
constexpr int IndexersTop = 144;
constexpr int IndexersWidth = 460;
constexpr int IndexersHeight = 250;

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
}

void TMainForm::updateMagnetActions(bool torrentSelected)
{
    actCopyMagnet->setEnabled(torrentSelected);
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

}  // namespace sorvena
