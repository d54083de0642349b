// The hand-off to a client that runs already: our command line goes into the registry
// value the client reads, the client gets permission to take the foreground, and its
// wake-up event is signalled. Runs first in the process, before anything else exists.
#pragma once

#include "clientapi/handoff.h"

#include <string>

// The text handed over: every argument from argument 0 on, in order, each followed by one
// blank; an argument that contains a blank is enclosed in double quotes. With no argument
// beyond argument 0, "-foreground" is appended.
void BuildHandOffCommandLine(int argc, char **argv, std::string *pstrCommandLine);

// True when a running client's wake-up event exists: the command line has then been
// handed over (or, when the registry key cannot be opened, dropped without waking the
// client) and the process should exit with 0. False when no client runs; nothing is
// written then.
bool BHandOffToRunningInstance(int argc, char **argv);
