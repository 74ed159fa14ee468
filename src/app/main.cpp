// sorvena: the window.

#include <QApplication>

#include <chrono>
#include <cstdlib>

#include "app/Main.h"
#include "app/Settings.h"
#include "worker/WorkerThread.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sorvena"));  // ~/.config/sorvena when not portable
    int rc = 0;
    {
        sorvena::TMainForm form(sorvena::DefaultSettingsFilePath(), QCoreApplication::arguments());
        form.show();
        rc = QApplication::exec();
    }
    // Closing asked every worker to end, and their sends now return at once,
    // so they are gone within a fetch's cancel time. One that is not is left
    // to the end of the process rather than raced by static destruction.
    if (!sorvena::TWorkerThread::WaitForAll(std::chrono::seconds(3))) std::_Exit(rc);
    return rc;
}
