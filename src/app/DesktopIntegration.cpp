#include "app/DesktopIntegration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

namespace sorvena {

namespace {

constexpr int CacheToolTimeoutMs = 30000;

QByteArray resource(const char* name)
{
    QFile file(QStringLiteral(":/desktop/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One argument of an Exec key (freedesktop desktop entry rules, "The Exec key"):
// quoted when it holds a reserved character, with ", `, $ and \ escaped
// inside the quotes; % is doubled everywhere. The file format then escapes
// every backslash once more.
QString execArgument(const QString& argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = argument.isEmpty();
    for (const QChar c : argument) quote = quote || reserved.contains(c);
    QString exec;
    for (const QChar c : argument) {
        if (c == u'%') exec += u'%';
        if (quote && (c == u'"' || c == u'`' || c == u'$' || c == u'\\')) exec += u'\\';
        exec += c;
    }
    if (quote) exec = u'"' + exec + u'"';
    return exec.replace(u'\\', QStringLiteral("\\\\"));
}

bool writeFile(const QString& path, const QByteArray& bytes, QString& reason)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        reason = QStringLiteral("cannot create the folder of ") + path;
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        reason = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

void runCacheTool(const char* tool, const QString& folder)
{
    const QString program = QStandardPaths::findExecutable(QLatin1String(tool));
    if (program.isEmpty()) return;
    QProcess process;
    process.start(program, {folder});
    process.waitForFinished(CacheToolTimeoutMs);
}

}  // namespace

QString UserDataHome()
{
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    if (!home.isEmpty() && QDir::isAbsolutePath(home)) return home;
    return QDir::home().filePath(QStringLiteral(".local/share"));
}

QString DesktopEntryText(const QString& programPath)
{
    QString text = QString::fromUtf8(resource("sorvena.desktop.in"));
    text.replace(QStringLiteral("@SORVENA_EXEC@"), execArgument(programPath));
    return text;
}

bool RegisterFileType(const QString& programPath, const QString& dataHome, QString& reason)
{
    if (programPath.isEmpty()) return true;
    const QDir home(dataHome);
    const struct {
        QString path;
        QByteArray bytes;
    } files[] = {
        {home.filePath(QStringLiteral("mime/packages/sorvena.xml")), resource("sorvena.xml")},
        {home.filePath(QStringLiteral("icons/hicolor/scalable/apps/sorvena.svg")), resource("sorvena.svg")},
        {home.filePath(QStringLiteral("applications/sorvena.desktop")), DesktopEntryText(programPath).toUtf8()},
    };
    for (const auto& file : files) {
        if (file.bytes.isEmpty()) {
            reason = QStringLiteral("the program lacks the contents of ") + file.path;
            return false;
        }
        if (!writeFile(file.path, file.bytes, reason)) return false;
    }
    runCacheTool("update-mime-database", home.filePath(QStringLiteral("mime")));
    runCacheTool("update-desktop-database", home.filePath(QStringLiteral("applications")));
    return true;
}

}  // namespace sorvena

namespace sorvena {

bool HasProgramForType(const QString& mimeType)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (program.isEmpty()) return true;
    QProcess process;
    process.start(program, {QStringLiteral("query"), QStringLiteral("default"), mimeType});
    if (!process.waitForFinished(CacheToolTimeoutMs) || process.exitStatus() != QProcess::NormalExit) return true;
    return !process.readAllStandardOutput().trimmed().isEmpty();
}

}  // namespace sorvena
