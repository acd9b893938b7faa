// The process entry. There is no C runtime: the linker points the image's
// entry here, and the start-up routine's result becomes the exit code.
#include <windows.h>
#include "app/startup.h"

extern "C" void CorvaneEntry()
{
    ExitProcess((UINT)RunCorvane());
}
