// The screenshot run (larkspire-demo --screenshot DIR): opens the main window offscreen against
// the server, performs each page's main action (a search with results, a move, the paged
// query), and saves one PNG per page, one of the product dialog and one of the wait window
// into DIR. Any error, or a message box on the way, stops the run.
//
// Thread-safety: main thread only, inside a running QApplication.
#ifndef LARKSPIRE_DEMO_SCREENSHOT_H_
#define LARKSPIRE_DEMO_SCREENSHOT_H_

#include <string>

#include "demo/main_form.h"

namespace larkspire {

// Returns the process's exit code: 0 when every picture was saved, 1 otherwise (the reason on
// stderr). Prints each saved file on stdout.
int RunScreenshots(const TDemoServer& server, const std::string& dir);

}  // namespace larkspire

#endif  // LARKSPIRE_DEMO_SCREENSHOT_H_
