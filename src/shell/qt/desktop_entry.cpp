#include "desktop_entry.h"

#include <QFile>
#include <QFileInfo>

namespace orvex::gui {

const char kLauncherMimeTypes[] =
    "application/octet-stream;application/x-raw-disk-image;application/x-cd-image;application/zip;"
    "application/x-7z-compressed;application/vnd.rar;application/x-tar;application/gzip;"
    "application/x-lz4;application/vnd.android.package-archive;application/x-brotli;inode/directory;";

QString LauncherExec(const QString& programFile) {
  // Inside double quotes the characters " ` $ \ take a backslash; the value as a whole then
  // doubles every backslash, as every string value of the format does, and a "%" is doubled.
  QString quoted;
  for (QChar c : programFile) {
    if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
      quoted += QLatin1Char('\\');
    quoted += c;
  }
  quoted.replace(QLatin1String("\\"), QLatin1String("\\\\"));
  quoted.replace(QLatin1String("%"), QLatin1String("%%"));  // field codes start with "%"
  return QLatin1Char('"') + quoted + QLatin1String("\" %F");
}

QString LauncherText(const QString& programFile, const QString& iconFile) {
  QString t;
  t += QLatin1String("[Desktop Entry]\n");
  t += QLatin1String("Type=Application\n");
  t += QLatin1String("Version=1.0\n");
  t += QLatin1String("Name=Orvex\n");
  t += QLatin1String("GenericName=Firmware unpacker\n");
  t += QLatin1String("Comment=Unpacks and packs Android firmware and partition images\n");
  t += QLatin1String("Exec=") + LauncherExec(programFile) + QLatin1Char('\n');
  t += QLatin1String("Path=") + QFileInfo(programFile).absolutePath() + QLatin1Char('\n');
  if (!iconFile.isEmpty()) t += QLatin1String("Icon=") + iconFile + QLatin1Char('\n');
  t += QLatin1String("Terminal=false\n");
  t += QLatin1String("Categories=Utility;Archiving;\n");
  t += QLatin1String("MimeType=") + QLatin1String(kLauncherMimeTypes) + QLatin1Char('\n');
  return t;
}

bool WriteLauncher(const QString& path, const QString& programFile, const QString& iconFile) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray bytes = LauncherText(programFile, iconFile).toUtf8();
  if (f.write(bytes) != bytes.size()) return false;
  f.close();
  // Desktops start a launcher from the desktop folder only when it is executable.
  return f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

}  // namespace orvex::gui
