// Taking a system DLL's functions by name, for a library that is not
// imported: loaded from the system folder only, so that a DLL of the same
// name planted beside the program is never run.
#pragma once
#include <windows.h>

// Loads `library` from the system folder and fills table, a structure of
// `count` function pointers, from names in the same order, each ended by a
// NUL. FALSE, table left as it was and the library freed, when it or any
// name is missing.
BOOL LoadSystemCalls(const WCHAR* library, const char* names, int count, void* table);
