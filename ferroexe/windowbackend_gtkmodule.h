// Linux only: the module that holds the GTK window backend (windowbackend_gtk.cpp), and its
// loading. CreateWindowBackend of the Linux build is a CDeferredWindowBackend over it.
#pragma once

#include "ferroexe/windowbackend.h"
#include "foundation/utlstring.h"

// The module's file name, beside the executable.
constexpr char k_szGtkWindowModule[] = "arvolauncher_gtk" FERRO_DLL_EXT;
// Its one export: a new GTK backend, owned by the caller.
constexpr char k_szCreateWindowBackendExport[] = "CreateGtkWindowBackend";
typedef IWindowBackend *(*FnCreateWindowBackend_t)();

// Loads the module from the executable's directory and creates its backend; null with the
// reason when the module or its export is missing (or a library it needs).
IWindowBackend *LoadGtkWindowBackend(CUtlString *pstrError);
