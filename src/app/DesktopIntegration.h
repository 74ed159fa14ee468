#pragma once
// Results files (".vrk") on a freedesktop.org desktop: the MIME type
// application/x-sorvena-results with the glob *.vrk (a shared-mime-info
// package), a desktop entry that opens such a file with the program
// ("Exec=<program> %f"), and the program's icon. `cmake --install` installs
// the same files for every user; RegisterFileType writes them for one user,
// without administrator rights, on the program's first run.
// GUI thread (it runs the cache tools as child processes and waits).

#include <QString>

namespace sorvena {

inline constexpr char ResultsMimeType[] = "application/x-sorvena-results";

// $XDG_DATA_HOME when it names an absolute folder, otherwise ~/.local/share.
QString UserDataHome();

// The desktop entry that starts programPath with the chosen file.
QString DesktopEntryText(const QString& programPath);

// Writes under dataHome: mime/packages/sorvena.xml,
// applications/sorvena.desktop and icons/hicolor/scalable/apps/sorvena.svg,
// each by way of a temporary file; then refreshes the MIME database and
// the desktop-entry cache of dataHome with update-mime-database and
// update-desktop-database where those tools are installed. False with a
// reason when a file cannot be written (files written before stay); an empty
// programPath does nothing and gives true.
bool RegisterFileType(const QString& programPath, const QString& dataHome, QString& reason);

// Whether the desktop names a default program for the MIME type (xdg-mime
// query default). True when that cannot be asked (no xdg-mime): the shell's
// "open" is then left to find out.
bool HasProgramForType(const QString& mimeType);

}  // namespace sorvena
