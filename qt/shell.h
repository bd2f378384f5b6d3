// The shell seam: the desktop's small icon of a file type, and opening a file with the program
// the desktop associates with it. Everything a Larkspire Qt application asks of the desktop
// goes through Shell(), so tests and runs without a desktop can install a recorder.
//
// TQtShell (the default) takes the icon of the extension's MIME type from the icon theme, with
// the style's file icon where the theme has none, and opens files through QDesktopServices.
// TRecordingShell opens nothing: it records the files it was asked to open and the extensions
// whose icons were asked for, and answers the style's file icon.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_QT_SHELL_H_
#define LARKSPIRE_QT_SHELL_H_

#include <QIcon>
#include <QString>
#include <QStringList>

namespace larkspire {

class IShell {
 public:
  virtual ~IShell() = default;
  // The small icon of a file with this extension ("" or ".txt"), without touching any file.
  virtual QIcon ExtensionIcon(const QString& extension) = 0;
  // Opens the file with its associated program; whether that worked is not reported.
  virtual void OpenFile(const QString& path) = 0;
};

class TQtShell : public IShell {
 public:
  QIcon ExtensionIcon(const QString& extension) override;
  void OpenFile(const QString& path) override;
};

class TRecordingShell : public IShell {
 public:
  QIcon ExtensionIcon(const QString& extension) override;
  void OpenFile(const QString& path) override { Opened << path; }

  QStringList Opened;
  QStringList IconRequests;
};

// The installed shell; the Qt one until SetShell installs another.
IShell& Shell();
// Installs a shell (the caller keeps it alive); null restores the Qt one.
void SetShell(IShell* shell);

}  // namespace larkspire

#endif  // LARKSPIRE_QT_SHELL_H_
