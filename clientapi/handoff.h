// The hand-off's names, shared by the launcher and the running client: a launcher started
// while a client runs writes its command line into the registry value below and signals the
// client's named wake-up event; the client publishes its process id beside it, so that the
// launcher can let it take the foreground.
#pragma once

#define FERRO_HANDOFF_EVENT_NAME "Global\\Quill_FerroIPC_Class"
#define FERRO_HANDOFF_REGISTRY_KEY "Software\\Quill\\Ferro" // under HKEY_LOCAL_MACHINE
#define FERRO_HANDOFF_COMMAND_LINE_VALUE "TempAppCmdLine"   // REG_SZ, written by the launcher
#define FERRO_HANDOFF_PROCESS_ID_VALUE "FerroPID"           // REG_DWORD, published by the client
