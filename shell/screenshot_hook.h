// For tools/screenshot.sh: with TAPLINE_SCREENSHOT=<file.png> set, the window saves a picture of itself
// after TAPLINE_SCREENSHOT_DELAY ms (default 2000) and the program ends without saving its settings.
// TAPLINE_SCREENSHOT_ABOUT=<file.png> adds a picture of the About box; TAPLINE_SCREENSHOT_POINTS sets
// the application's font size in points (to check the layout at the fonts of today's desktops);
// TAPLINE_SCREENSHOT_FIND (not empty) opens the find bar first.
// Main thread only.
#pragma once

class QWidget;

namespace tapline::shell {

// Before the window is made.
void ApplyScreenshotFont();
void ArmScreenshotHook(QWidget& window);

}  // namespace tapline::shell
