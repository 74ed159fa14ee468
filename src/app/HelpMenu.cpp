#include "app/HelpMenu.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>

#include "app/Main.h"
#include "app/QtText.h"
#include "base/StringUtil.h"
#include "net/IndyUtil.h"

namespace sorvena {

QString ManualPath(const QString& programDir)
{
    for (const QString& path : {QDir(programDir).filePath(QString::fromUtf8(ManualFromProgramDir)),
                                QString::fromUtf8(ManualInstalledPath), QString::fromUtf8(ManualSourcePath)})
        if (QFileInfo(path).isFile()) return QDir::cleanPath(path);
    return {};
}

TUpdateMailbox::TUpdateMailbox(QObject* receiver, std::function<void(const TUpdateInfo&)> handler)
    : m_receiver(receiver), m_handler(std::move(handler))
{
}

void TUpdateMailbox::Deliver(const TUpdateInfo& info)
{
    // Posted under the lock: Close, and so the receiver's destruction, waits
    // until the event is queued; a queued event dies with its receiver.
    const std::lock_guard lock(m_mutex);
    if (!m_receiver) return;
    QMetaObject::invokeMethod(m_receiver, [handler = m_handler, info] { handler(info); }, Qt::QueuedConnection);
}

void TUpdateMailbox::Close()
{
    const std::lock_guard lock(m_mutex);
    m_receiver = nullptr;
    if (const auto worker = m_worker.lock()) worker->Terminate();
}

void TUpdateMailbox::SetWorker(const std::shared_ptr<TWorkerThread>& worker)
{
    const std::lock_guard lock(m_mutex);
    m_worker = worker;
}

// ---- the window's Help commands

QMessageBox::StandardButton TMainForm::ShowMessageBox(QMessageBox::Icon icon, const QString& text,
                                                      QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, windowTitle(), text, buttons, this);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool TMainForm::OpenDocument(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

void TMainForm::actAboutExecute()
{
    // Modeless for the rest of the program, modal for the window; it goes when closed.
    auto* box = new QDialog(this);
    box->setObjectName(QStringLiteral("AboutBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QStringLiteral("About Sorvena"));
    auto* icon = new QLabel(box);
    icon->setPixmap(windowIcon().pixmap(64, 64));
    icon->setAlignment(Qt::AlignTop);
    auto* name = new QLabel(windowTitle(), box);
    name->setObjectName(QStringLiteral("lblAboutName"));
    QFont big = name->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    name->setFont(big);
    auto* what = new QLabel(QStringLiteral("Searches torrent sites for a keyword, lists every torrent found with its "
                                           "files, and counts the peers of each."),
                            box);
    what->setWordWrap(true);
    auto* links = new QLabel(QStringLiteral("<a href=\"manual\">User manual</a> &nbsp;&middot;&nbsp; "
                                            "<a href=\"website\">%1</a>")
                                 .arg(BytesToQString(GetUrlHost(WebsiteUrl))),
                             box);
    links->setObjectName(QStringLiteral("lblAboutLinks"));
    links->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(links, &QLabel::linkActivated, this, [this](const QString& link) {
        if (link == QLatin1String("manual")) actHelpContentExecute();
        else actWebSiteExecute();
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, box);
    connect(buttons, &QDialogButtonBox::accepted, box, &QDialog::accept);
    auto* text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(what);
    text->addWidget(links);
    text->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(12);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(box);
    layout->addLayout(top);
    layout->addWidget(buttons);
    // Wide enough for its title in any title bar, and for the line to read well.
    box->setMinimumWidth(std::max(440, box->fontMetrics().horizontalAdvance(box->windowTitle()) * 3));
    box->open();
}

void TMainForm::actHelpContentExecute()
{
    const QString manual = ManualPath(QCoreApplication::applicationDirPath());
    OpenDocument(manual.isEmpty() ? QUrl(QString::fromUtf8(WebsiteUrl)) : QUrl::fromLocalFile(manual));
}

void TMainForm::actSupportExecute()
{
    OpenDocument(QUrl(QString::fromUtf8(SupportUrl)));
}

void TMainForm::actWebSiteExecute()
{
    OpenDocument(QUrl(QString::fromUtf8(WebsiteUrl)));
}

void TMainForm::actHelpUpdateExecute()
{
    // From now on every outcome is reported, also that of a check already running.
    m_manualUpdateCheck = true;
    startUpdateCheck();
}

void TMainForm::startUpdateCheck()
{
    if (!m_updateMailbox)
        m_updateMailbox = std::make_shared<TUpdateMailbox>(this, [this](const TUpdateInfo& info) { updateCheckDone(info); });
    auto worker = std::make_shared<TUpdateCheckThread>(
        m_updateUrl, AppVersion, [mailbox = m_updateMailbox](const TUpdateInfo& info) { mailbox->Deliver(info); });
    m_updateMailbox->SetWorker(worker);
    try {
        worker->Start();
    } catch (const std::exception& e) {
        trace(__func__, e);
        TUpdateInfo failed;
        failed.Outcome = UpdateOutcome::HostUnreachable;
        failed.Error = FetchError::Internal;  // no thread for the check
        updateCheckDone(failed);
    }
}

void TMainForm::updateCheckDone(const TUpdateInfo& info)
{
    if (info.Outcome == UpdateOutcome::NewerVersion) {
        const QString text = QStringLiteral("Sorvena v%1 is available. Open its page?").arg(BytesToQString(info.VersionText));
        if (ShowMessageBox(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes)
            OpenDocument(QUrl(info.Page.empty() ? QString::fromUtf8(WebsiteUrl) : BytesToQString(info.Page)));
        return;
    }
    if (!m_manualUpdateCheck) return;
    if (info.Error != FetchError::None) {
        // No answer is no "no update": the user is told that the check failed, and why.
        const QString host = BytesToQString(GetUrlHost(m_updateUrl));
        ShowMessageBox(QMessageBox::Warning,
                       QStringLiteral("The update information could not be fetched from %1: %2.")
                           .arg(host, BytesToQString(FetchFailureBrief(info.Error, info.Status, info.Reason))),
                       QMessageBox::Ok);
        return;
    }
    ShowMessageBox(QMessageBox::Information, QStringLiteral("No update available."), QMessageBox::Ok);
}

}  // namespace sorvena
