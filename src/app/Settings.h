#pragma once
// Where the settings file ("vrk.ini") lives, and reading and writing it for
// the window. GUI thread only.

#include <QString>

#include <string>
#include <vector>

#include "settings/IniOption.h"
#include "search/SiteCatalogue.h"
#include "settings/TorznabEndpoints.h"

namespace sorvena {

// programDir/vrk.ini when that file exists or programDir is writable (a
// portable install); otherwise configDir/vrk.ini.
QString SettingsFilePath(const QString& programDir, const QString& configDir);
// The same for this program: its folder, and QStandardPaths::AppConfigLocation.
QString DefaultSettingsFilePath();

// The result list's columns as the user left them, in the section
// [Columns]: Widths, the width in pixels of each column by column index, and
// Order, the column indexes from left to right, both comma-separated
// ("Widths=300,80,52,70,40,84,140,75", "Order=0,2,1,3,4,5,6,7"). Empty
// lists when the file has none (or not a list of numbers).
inline constexpr char ColumnsSection[] = "Columns";
struct TColumnLayout {
    std::vector<int> Widths;
    std::vector<int> Order;
    bool Empty() const { return Widths.empty() && Order.empty(); }
};

// What the window takes from the settings file when it is created.
struct TSettingsFileContents {
    TIniOptions Options;
    bool HasPlacement = false;  // [Pos] has the window's size (not a first run)
    TColumnLayout Columns;
    TSiteHosts Hosts = TSiteHosts::Defaults();  // with the [Hosts] overrides
    std::string UpdateUrl;                       // [Update] Url, else the built-in address
    std::vector<TTorznabEndpoint> Endpoints;     // [Torznab] and [TorznabDisabled]
};

// Reads the settings file at path. On the first run (no file there) creates
// it empty, its folder too, and registers the results-file type for the user
// (DesktopIntegration.h). A file that cannot be read gives the defaults;
// the reason is traced.
TSettingsFileContents ReadSettingsFile(const QString& path);

// Writes options (and columns, unless null) into the file at path, keeping
// everything else in it, by way of a temporary file and a rename. False with
// a reason on failure.
bool WriteSettingsFile(const QString& path, const TIniOptions& options, const TColumnLayout* columns,
                       std::string& reason);
// Writes the endpoints into the file at path the same way.
bool WriteEndpointsToSettingsFile(const QString& path, const std::vector<TTorznabEndpoint>& endpoints,
                                  std::string& reason);

}  // namespace sorvena
