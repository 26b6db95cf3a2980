// The Qt 6 Widgets front end of the user-interface model: real windows built from the gadget trees,
// QPainter drawing of the user areas' recorded frames, QDrag for drags, a timer that delivers posts
// and runs the dialogs' timers, and orxhost's main window. Main thread only (the Qt GUI thread).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ui/uimodel.h"

class QImage;
class QWidget;

namespace orxhost::qt {

class QtFrontEnd;

// Makes the QApplication when there is none and puts the Qt front end in place of the current one
// until the returned object is destroyed.
std::shared_ptr<QtFrontEnd> StartQt();
void StopQt(std::shared_ptr<QtFrontEnd>& fe);

// The window of an open dialog (null when it has none); tests render it.
QWidget* DialogWidget(QtFrontEnd& fe, Int32 dialog);
// Renders a widget as it shows, laid out at its size hint when it was never shown.
QImage Render(QWidget* w);

struct MainWindowOptions
{
  std::string screenshot; // empty: run until the window is closed
  int afterMs = 500;
};
struct MainWindowResult
{
  std::vector<std::string> menu;  // the command menu's entries
  std::vector<std::string> pages; // the preference pages
  int width = 0, height = 0;      // of the screenshot
};
// orxhost gui: 0 when it ran (and the screenshot was written).
int RunMainWindow(const MainWindowOptions& o, MainWindowResult* result);

} // namespace orxhost::qt
