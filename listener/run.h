// The listener's two ways to run: with a window (Qt Widgets) and without.
// Both run Main, then receive until closed; they return the exit status.
#pragma once

#include <string>

namespace tallyhost {

int RunHeadless(int argc, char** argv, const std::string& command_line);
int RunWindowed(int argc, char** argv, const std::string& command_line);

// True when a window can be shown: a display is named, or Qt is told which
// platform to use.
bool DisplayAvailable();

class MainForm;
struct MainState;
// True when at least one entry's socket is bound.
bool AnyListening(const MainState& state);
// SIGHUP: saves the connections file and the settings, and goes on. The
// logs need nothing from it: the engine looks at each log's path before
// every line and opens the file found there (textfile::Appender,
// textfile::AppendLine), so a log renamed away is followed at once.
void SaveOnSignal(MainForm& form);
// SIGUSR1 (headless): writes the status of every entry and the unread
// problems to standard output; the problems count as read.
void ReportStatus(MainState& state);

}  // namespace tallyhost
