// Loading a table of a system DLL's functions (see system_library.h).
#include "base/system_library.h"
#include "base/text.h"

enum { MAX_CALLS = 32 };

BOOL LoadSystemCalls(const WCHAR* library, const char* names, int count, void* table)
{
    if (count > MAX_CALLS)
        return FALSE;
    HMODULE module = LoadLibraryExW(library, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module)
        return FALSE;
    FARPROC calls[MAX_CALLS];
    for (int i = 0; i < count; i++) {
        calls[i] = *names ? GetProcAddress(module, names) : NULL;
        if (!calls[i]) {
            FreeLibrary(module);
            return FALSE;
        }
        while (*names++)
            ;
    }
    ByteCopy(table, calls, (UINT64)count * sizeof(FARPROC));
    return TRUE;
}
