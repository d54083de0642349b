// The launch of the client: the client library and a client UI library are loaded from
// the install directory (the working directory), and the UI library's entry point gets
// the main thread for the rest of the client's life.
#pragma once

// Loads the client library and its "Ferro006" interface, the console or window UI library
// (bConsole), runs the interface's start-up operation (bOffline and its inverse), calls
// the entry point with the argument vector and the frame callback, then the shut-down
// operation, and unloads both libraries. Returns the entry point's result, or -1 after
// showing "Failed to load %s" or "Ferro failed to load: %s" with the UI's ShowFatalError
// (the libraries then stay loaded). Main thread.
int LaunchClient(int argc, char **argv, bool bOffline, bool bConsole);
