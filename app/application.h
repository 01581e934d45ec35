// Application-wide settings shared by the program, its tests and its benchmark,
// so that all of them run the window as the user sees it.
#pragma once

namespace ps::app {

// Call once, right after the QApplication is created: names the application
// (the caption of its message boxes) and its desktop entry, sets the window
// icon, and takes the desktop's widget style.
void ConfigureApplication();

}  // namespace ps::app
