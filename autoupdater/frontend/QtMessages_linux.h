// Qt's messages in the Linux front-end: they are diagnostics of the run (noted in the run log,
// then written to standard error by the handler that was in place, which follows
// QT_MESSAGE_PATTERN), and the core's diagnostics are sent through them, so that one pattern marks
// them all.
#pragma once

void RouteDiagnosticsThroughQt();
