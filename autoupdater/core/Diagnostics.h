// Diagnostics: what the program tells on standard error besides its status lines (a server's
// error status, the engine's reason for refusing a package, a record that cannot be written).
// Each is also a "[warning]" line of the run log.
#pragma once

#include <functional>
#include <string>

// Reports a diagnostic (UTF-8 text, one line), from any thread.
void Warning(const std::string& text);

// Where diagnostics are noted besides standard error: the current run log, which sets this while
// it is open (an empty function: nowhere).
void SetDiagnosticLog(std::function<void(const std::string& kind, const std::string& text)> log);

// The front-end may send diagnostics through its own message system instead (Qt's on Linux, so
// that QT_MESSAGE_PATTERN marks them as Qt's own messages are marked); that system then writes
// them to standard error and notes them in the run log itself. An empty function restores the
// default. Set before any thread reports.
void SetDiagnosticSink(std::function<void(const std::string& text)> sink);
