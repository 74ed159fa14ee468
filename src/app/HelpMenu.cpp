#include "app/HelpMenu.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>

#include "app/FetchText.h"
#include "app/Main.h"
#include "app/QtText.h"
#include "base/StringUtil.h"

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
                           .arg(host, FetchFailureText(info.Error, info.Status)),
                       QMessageBox::Ok);
        return;
    }
    ShowMessageBox(QMessageBox::Information, QStringLiteral("No update available."), QMessageBox::Ok);
}

}  // namespace sorvena
