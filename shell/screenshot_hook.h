// For tools/screenshot.sh: with TAPLINE_SCREENSHOT=<file.png> set, the window saves a picture of itself
// after TAPLINE_SCREENSHOT_DELAY ms (default 2000) and the program ends without saving its settings.
#pragma once

class QWidget;

namespace tapline::shell {

void ArmScreenshotHook(QWidget& window);

}  // namespace tapline::shell
