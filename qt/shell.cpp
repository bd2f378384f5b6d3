#include "qt/shell.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMimeDatabase>
#include <QStyle>
#include <QUrl>

namespace larkspire {
namespace {

IShell* g_installed = nullptr;

QIcon FallbackIcon() {
  return QApplication::style()->standardIcon(QStyle::SP_FileIcon);
}

}  // namespace

QIcon TQtShell::ExtensionIcon(const QString& extension) {
  // The name alone decides the type: no file is read.
  const QMimeType type =
      QMimeDatabase().mimeTypeForFile("file" + extension, QMimeDatabase::MatchExtension);
  QIcon icon = QIcon::fromTheme(type.iconName());
  if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
  return icon.isNull() ? FallbackIcon() : icon;
}

void TQtShell::OpenFile(const QString& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

QIcon TRecordingShell::ExtensionIcon(const QString& extension) {
  IconRequests << extension;
  return FallbackIcon();
}

IShell& Shell() {
  static TQtShell qt_shell;
  return g_installed != nullptr ? *g_installed : qt_shell;
}

void SetShell(IShell* shell) {
  g_installed = shell;
}

}  // namespace larkspire
