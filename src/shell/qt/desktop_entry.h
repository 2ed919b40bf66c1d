#pragma once
// Launcher files (freedesktop desktop entries) for the program.
#include <QString>

namespace orvex::gui {

// The kinds of files a launcher of the program takes (a drop on it, or "open with").
extern const char kLauncherMimeTypes[];

// An Exec value that starts programFile with every file given ("%F"), quoted as the desktop
// entry format requires.
QString LauncherExec(const QString& programFile);
// The whole desktop entry text.
QString LauncherText(const QString& programFile, const QString& iconFile);
// Writes a launcher file that others may start (it is made executable); false on failure.
bool WriteLauncher(const QString& path, const QString& programFile, const QString& iconFile);

}  // namespace orvex::gui
