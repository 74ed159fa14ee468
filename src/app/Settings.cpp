#include "app/Settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>

#include <algorithm>

#include "app/AppConfig.h"
#include "app/DesktopIntegration.h"
#include "app/Main.h"
#include "app/QtText.h"
#include "settings/IniFile.h"
#include "base/Trace.h"

namespace sorvena {

namespace {

const QString IniName = QString::fromLatin1(IniFileName.data(), static_cast<qsizetype>(IniFileName.size()));

// "1,2,3"; nothing unless every piece is a decimal number.
std::vector<int> numberList(const std::string& text)
{
    std::vector<int> numbers;
    bool ok = true;
    for (const QString& piece : QString::fromStdString(text).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        numbers.push_back(piece.trimmed().toInt(&ok));
        if (!ok) return {};
    }
    return numbers;
}

std::string numberText(const std::vector<int>& numbers)
{
    std::string text;
    for (size_t i = 0; i < numbers.size(); ++i) text += (i ? "," : "") + std::to_string(numbers[i]);
    return text;
}

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
    for (const std::string& key : ini.Keys("Pos"))
        if (key == "Width" || key == "Height") contents.HasPlacement = true;
    contents.Columns.Widths = numberList(ini.ReadString(ColumnsSection, "Widths", ""));
    contents.Columns.Order = numberList(ini.ReadString(ColumnsSection, "Order", ""));
    contents.Hosts.ReadOverrides(ini);
    contents.UpdateUrl = ini.ReadString("Update", "Url", UpdateInfoUrl);
    contents.Endpoints = ReadTorznabEndpoints(ini);
    return contents;
}

bool WriteSettingsFile(const QString& path, const TIniOptions& options, const TColumnLayout* columns,
                       std::string& reason)
{
    // Read again: what other programs or people put there since the start stays.
    TIniFile ini;
    const std::string file = QFile::encodeName(path).toStdString();
    if (QFileInfo::exists(path) && !ini.LoadFromFile(file, reason)) return false;
    SaveToIni(&ini, options);
    if (columns) {
        ini.WriteString(ColumnsSection, "Widths", numberText(columns->Widths));
        ini.WriteString(ColumnsSection, "Order", numberText(columns->Order));
    }
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
    if (!contents.HasPlacement) fitToScreen();
    m_columnsStored = !contents.Columns.Empty();
    applyColumnLayout(contents.Columns);
    // Off the GUI thread; its outcome arrives as an event once the window runs.
    if (m_options.AutoUpdate) startUpdateCheck();
    // How a results file opened from the file manager arrives; a name that
    // is no file is ignored.
    if (arguments.size() > 1 && QFileInfo(arguments[1]).isFile()) LoadResultsFile(arguments[1]);
}

void TMainForm::fitToScreen()
{
    // A first run: most of the screen (1100 x 720 on a 1280 x 800 one), centred.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect free = screen->availableGeometry();
    const QSize size(std::min(1100, free.width() * 92 / 100), std::min(720, free.height() * 90 / 100));
    resize(size);
    move(free.x() + (free.width() - size.width()) / 2, free.y() + (free.height() - size.height()) / 2);
}

TIniOptions TMainForm::FormCloseOptions() const
{
    TIniOptions options = m_options;  // OpenDir: where the Load Search Result dialog opens
    options.Width = width();
    options.Height = height();
    options.Left = x();
    options.Top = y();
    options.AutoCheckPeer = cbAutoCheckPeers->isChecked();
    options.AutoFetchFiles = cbAutoFetchFiles->isChecked();
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
    // Columns as designed are not written until the user has set some.
    const TColumnLayout columns = ColumnLayout();
    const bool writeColumns = m_columnsStored || !columnsAsDesigned();
    if (std::string reason; !WriteSettingsFile(m_settingsPath, m_options, writeColumns ? &columns : nullptr, reason))
        TraceError(__FILE__, __LINE__, __func__, QStringToBytes(m_settingsPath) + ": " + reason);
}

}  // namespace sorvena
