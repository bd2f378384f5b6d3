// larkspire-demo: the demonstration application. Opens the main window against the server
// named by the options, or, with --screenshot DIR, runs offscreen and saves pictures.
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "demo/demo_options.h"
#include "demo/main_form.h"
#include "demo/screenshot.h"
#include "qt/application.h"
#include "qt/wait_window.h"

int main(int argc, char** argv) {
  using namespace larkspire;
  const TDemoOptions options = ParseDemoOptions(std::vector<std::string>(argv + 1, argv + argc),
                                                [](const char* name) { return std::getenv(name); });
  if (options.Exit) {
    std::fputs(options.Output.c_str(), options.ExitCode == 0 ? stdout : stderr);
    return options.ExitCode;
  }
  if (!options.ScreenshotDir.empty()) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The pictures are the output: Qt's notes about the offscreen platform are noise there.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
      if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
      }
    });
  }

  TLarkspireApplication app(argc, argv);
  InstallQtWaitWindows();
  if (!options.ScreenshotDir.empty()) return RunScreenshots(options.Server, options.ScreenshotDir);

  TlkDemoMainForm main_form(options.Server);
  main_form.show();
  return app.exec();
}
