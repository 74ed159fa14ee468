// The main window's view of the searched sites: how each one fares, in the
// status bar and in the list that its Sites button opens. What a site did is
// recorded in the core (TSearchState::SiteReports); this only says it.

#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QWidgetAction>

#include "app/Main.h"
#include "app/QtText.h"
#include "search/SearchState.h"
#include "net/IndyUtil.h"

namespace sorvena {

namespace {

QString torrentsText(int count)
{
    return count == 1 ? QStringLiteral("1 torrent") : QStringLiteral("%1 torrents").arg(count);
}

QString failureText(const TSiteReport& report)
{
    return BytesToQString(FetchFailureBrief(report.Error, report.Status, report.Reason));
}

// An indexer says why it gave up in its own words (a wrong API key, a rate
// limit); a catalogue site failed when no result page arrived.
struct TSiteOutcome {
    bool failed = false;
    QString reason;
};

TSiteOutcome outcomeOf(const TSearchState& state, const TSiteReport& report, int site)
{
    if (const std::string said = state.SiteFailure(site); !said.empty()) return {true, BytesToQString(said)};
    if (report.Unreachable()) return {true, failureText(report)};
    return {};
}

}  // namespace

void TMainForm::createSiteStatus()
{
    btnSites = new QToolButton(this);
    btnSites->setObjectName(QStringLiteral("btnSites"));
    btnSites->setAutoRaise(true);
    btnSites->setToolTip(QStringLiteral("How each site fares in the search"));
    btnSites->setVisible(false);  // until the first search
    pmSites = new QMenu(btnSites);
    pmSites->setObjectName(QStringLiteral("pmSites"));
    lblSites = new QLabel(pmSites);
    lblSites->setObjectName(QStringLiteral("lblSites"));
    lblSites->setTextFormat(Qt::RichText);
    lblSites->setMargin(8);
    auto* item = new QWidgetAction(pmSites);
    item->setDefaultWidget(lblSites);
    pmSites->addAction(item);
    connect(btnSites, &QToolButton::clicked, this, [this] {
        // Above the button, its right edges in line: the list stays on the screen.
        lblSites->setText(siteListText());
        pmSites->adjustSize();
        const QPoint corner = btnSites->mapToGlobal(QPoint(btnSites->width(), 0));
        pmSites->popup(corner - QPoint(pmSites->sizeHint().width(), pmSites->sizeHint().height()));
    });
    statusBar()->addPermanentWidget(btnSites);
    // Sites fail or answer between messages: the view follows while searching.
    m_siteTimer = new QTimer(this);
    m_siteTimer->setInterval(500);
    connect(m_siteTimer, &QTimer::timeout, this, &TMainForm::updateStatus);
}

QString TMainForm::SiteStateText(int slot) const
{
    const auto i = static_cast<size_t>(slot);
    const std::vector<TSiteReport> reports = m_state->SiteReports();
    if (slot < 0 || i >= m_startedSites.size() || i >= reports.size() || !m_startedSites[i]) return {};
    const TSiteReport& report = reports[i];
    if (const TSiteOutcome outcome = outcomeOf(*m_state, report, slot); outcome.failed) return outcome.reason;
    QString text;
    if (i < m_state->SiteBusy.size() && m_state->SiteBusy[i])
        text = m_searching ? (report.Torrents > 0 ? QStringLiteral("searching, %1 so far").arg(torrentsText(report.Torrents))
                                                  : QStringLiteral("searching"))
                           : QStringLiteral("stopped, %1").arg(torrentsText(report.Torrents));
    else
        text = torrentsText(report.Torrents);
    if (report.DownloadFailures > 0)
        text += QStringLiteral("; %1 of its torrent files could not be fetched (%2)")
                    .arg(report.DownloadFailures)
                    .arg(failureText(report));
    else if (report.PageFailures > 0)
        text += QStringLiteral("; a result page could not be fetched (%1)").arg(failureText(report));
    return text;
}

QString TMainForm::siteListText() const
{
    const std::vector<TSiteReport> reports = m_state->SiteReports();
    QString rows;
    for (size_t i = 0; i < m_startedSites.size() && i < reports.size(); ++i) {
        if (!m_startedSites[i]) continue;
        const int slot = static_cast<int>(i);
        const bool failed = outcomeOf(*m_state, reports[i], slot).failed;
        rows += QStringLiteral("<tr><td><b>%1</b></td><td style=\"padding-left:16px;%3\">%2</td></tr>")
                    .arg(BytesToQString(m_state->SiteDisplayName(slot)).toHtmlEscaped(),
                         SiteStateText(slot).toHtmlEscaped(),
                         failed ? QStringLiteral("color:#b00000") : QString());
    }
    return QStringLiteral("<table>%1</table>").arg(rows);
}

TMainForm::TSiteCounts TMainForm::siteCounts() const
{
    TSiteCounts counts;
    const std::vector<TSiteReport> reports = m_state->SiteReports();
    bool oneReason = true;
    for (size_t i = 0; i < m_startedSites.size() && i < reports.size(); ++i) {
        if (!m_startedSites[i]) continue;
        ++counts.started;
        if (const TSiteOutcome outcome = outcomeOf(*m_state, reports[i], static_cast<int>(i)); outcome.failed) {
            const QString reason = outcome.reason;
            if (counts.failed++ == 0) counts.reason = reason;
            else if (reason != counts.reason) oneReason = false;
        } else if (i < m_state->SiteBusy.size() && m_state->SiteBusy[i]) {
            ++(m_searching ? counts.searching : counts.stopped);
        } else {
            ++counts.answered;
        }
    }
    if (!oneReason) counts.reason.clear();
    return counts;
}

// The status bar's part on the sites: a sentence after the counts when some
// could not be reached, and the Sites button.
QString TMainForm::siteStatusSentence(const TSiteCounts& counts) const
{
    if (counts.failed == 0) return {};
    if (!m_searching && counts.failed == counts.started)
        return counts.reason.isEmpty() ? QStringLiteral("No site could be reached.")
                                       : QStringLiteral("No site could be reached (%1).").arg(counts.reason);
    return counts.failed == 1 ? QStringLiteral("1 of %1 sites could not be reached.").arg(counts.started)
                              : QStringLiteral("%1 of %2 sites could not be reached.").arg(counts.failed).arg(counts.started);
}

void TMainForm::updateSiteButton(const TSiteCounts& counts)
{
    if (counts.started == 0) return;
    QStringList parts;
    if (counts.searching > 0) parts << QStringLiteral("%1 searching").arg(counts.searching);
    parts << QStringLiteral("%1 answered").arg(counts.answered);
    if (counts.stopped > 0) parts << QStringLiteral("%1 stopped").arg(counts.stopped);
    if (counts.failed > 0) parts << QStringLiteral("%1 failed").arg(counts.failed);
    btnSites->setText(QStringLiteral("Sites: ") + parts.join(QStringLiteral(", ")) + QStringLiteral(" \u25B4"));
    btnSites->setVisible(true);
    if (pmSites->isVisible()) lblSites->setText(siteListText());
}

}  // namespace sorvena
