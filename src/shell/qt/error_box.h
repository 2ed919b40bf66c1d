#pragma once
// The last-chance error box: a crash, an uncaught exception or a fatal Qt error shows a box with
// what is known about it, and the program ends.
#include <string>

namespace orvex::gui {

// The box's text: "String - " line, "File: " file, "Type error: " description.
std::string ErrorBoxText(int line, const std::string& file, const std::string& description);

// Installs the handlers. The failing process becomes `programFile --error-box TEXT`, which shows
// the box, so that it also appears when the failing thread cannot draw.
void InstallErrorBox(const std::string& programFile);

// The box itself: shows argv[2] and returns the exit status of the failed program.
int RunErrorBox(int argc, char** argv);

}  // namespace orvex::gui
