#pragma once

// Every program that shows a window needs a desktop session to show it in. Without one (neither
// DISPLAY nor WAYLAND_DISPLAY set), or where no display server answers at the one they name, Qt
// would abort with a long message; the program says so in one line instead and ends with exit
// status 1. Where the platform fails to start for another reason, Qt's own messages say why, and
// the program ends with status 1 all the same. A Qt platform the user chose (QT_QPA_PLATFORM,
// -platform) is left to Qt.

#include <QApplication>

#include <memory>

namespace lumatrax {

// The QApplication of `program`, the name its one line begins with: "PROGRAM: needs a desktop
// session (WHY): start it from the desktop" on standard error. Where no display variable is set
// that line is said and nothing is given: end with status 1. Where the platform cannot start,
// that line (or Qt's reason, when the display was reached) is said and the process ends with
// status 1 at once (Qt is half started then: none of it may run down). Qt's messages while its
// platform starts are passed on once it has. `argc` and `argv` must outlive the application, as for
// QApplication.
[[nodiscard]] std::unique_ptr<QApplication> startWindowApplication(const char* program, int& argc,
                                                                   char* argv[]);

} // namespace lumatrax
