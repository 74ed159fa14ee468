#include "app/Settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "app/AppConfig.h"
#include "app/DesktopIntegration.h"
#include "app/Main.h"
#include "app/QtText.h"
#include "settings/IniFile.h"
#include "base/Trace.h"

namespace sorvena {

namespace {

const QString IniName = QString::fromLatin1(IniFileName.data(), static_cast<qsizetype>(IniFileName.size()));

}  // namespace

QString SettingsFilePath(const QString& programDir, const QString& configDir)
{
    const QString beside = QDir(programDir).filePath(IniName);
    if (QFileInfo::exists(beside) || QFileInfo(programDir).isWritable()) return beside;
    return QDir(configDir).filePath(IniName);
}

QString DefaultSettingsFilePath()
{
    return SettingsFilePath(QCoreApplication::applicationDirPath(),
                            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}

TSettingsFileContents ReadSettingsFile(const QString& path)
{
    TSettingsFileContents contents;
    TIniFile ini;
    const std::string file = QFile::encodeName(path).toStdString();
    if (!QFileInfo::exists(path)) {
        // The first run: an empty file, and the results-file type registered.
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile empty(path);
        if (!empty.open(QIODevice::WriteOnly)) TraceError(__FILE__, __LINE__, __func__, "cannot create " + file);
        empty.close();
        QString reason;
        if (!RegisterFileType(QCoreApplication::applicationFilePath(), UserDataHome(), reason))
            TraceError(__FILE__, __LINE__, __func__, QStringToBytes(reason));
    } else if (std::string reason; !ini.LoadFromFile(file, reason)) {
        TraceError(__FILE__, __LINE__, __func__, file + ": " + reason);
    }
    LoadFromIni(&ini, contents.Options);
    contents.Hosts.ReadOverrides(ini);
    contents.UpdateUrl = ini.ReadString("Update", "Url", UpdateInfoUrl);
    contents.Endpoints = ReadTorznabEndpoints(ini);
    return contents;
}

bool WriteSettingsFile(const QString& path, const TIniOptions& options, std::string& reason)
{
    // Read again: what other programs or people put there since the start stays.
    TIniFile ini;
    const std::string file = QFile::encodeName(path).toStdString();
    if (QFileInfo::exists(path) && !ini.LoadFromFile(file, reason)) return false;
    SaveToIni(&ini, options);
    return ini.SaveToFile(file, reason);
}

bool WriteEndpointsToSettingsFile(const QString& path, const std::vector<TTorznabEndpoint>& endpoints,
                                  std::string& reason)
{
    TIniFile ini;
    const std::string file = QFile::encodeName(path).toStdString();
    if (QFileInfo::exists(path) && !ini.LoadFromFile(file, reason)) return false;
    WriteTorznabEndpoints(ini, endpoints);
    return ini.SaveToFile(file, reason);
}

// ---- the window's creation and closing

TMainForm::TMainForm(const QString& settingsPath, const QStringList& arguments, QWidget* parent)
    : TMainForm(ReadSettingsFile(settingsPath), settingsPath, arguments, parent)
{
}

TMainForm::TMainForm(TSettingsFileContents contents, const QString& settingsPath, const QStringList& arguments,
                     QWidget* parent)
    : TMainForm(contents.Hosts, contents.Options, parent)
{
    m_settingsPath = settingsPath;
    m_updateUrl = std::move(contents.UpdateUrl);
    SetTorznabEndpoints(contents.Endpoints);
    // Off the GUI thread; its outcome arrives as an event once the window runs.
    if (m_options.AutoUpdate) startUpdateCheck();
    // How a results file opened from the file manager arrives; a name that
    // is no file is ignored.
    if (arguments.size() > 1 && QFileInfo(arguments[1]).isFile()) LoadResultsFile(arguments[1]);
}

TIniOptions TMainForm::FormCloseOptions() const
{
    TIniOptions options = m_options;  // OpenDir: where the Load Search Result dialog opens
    options.Width = width();
    options.Height = height();
    options.Left = x();
    options.Top = y();
    options.AutoCheckPeer = cbAutoCheckPeers->isChecked();
    options.OnlyKeywordFile = cbOnlyShowKeywordFile->isChecked();
    options.OnlyHasPeers = cbOnlyShowHasPeers->isChecked();
    options.AutoUpdate = cbAutoUpdate->isChecked();
    options.SaveHistory = cbSaveHistory->isChecked();
    options.Keyword.clear();
    if (options.SaveHistory) {
        std::vector<std::string> items;
        for (int i = 0; i < cbKeyword->count() && items.size() < KeywordHistoryMax; ++i)
            items.push_back(QStringToBytes(cbKeyword->itemText(i)));
        options.Keyword = JoinKeywordHistory(items);
    }
    return options;
}

void TMainForm::FormClose()
{
    if (m_settingsPath.isEmpty()) return;
    m_options = FormCloseOptions();
    if (std::string reason; !WriteSettingsFile(m_settingsPath, m_options, reason))
        TraceError(__FILE__, __LINE__, __func__, QStringToBytes(m_settingsPath) + ": " + reason);
}

}  // namespace sorvena
