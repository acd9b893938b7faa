// The two helpers GCC may call on its own for structure copies and zeroing.
// Only the product executable links these; the unit tests take the runtime's.
// Built with -fno-tree-loop-distribute-patterns, so the loops stay loops.
#include <stddef.h>

extern "C" void* memcpy(void* destination, const void* source, size_t count)
{
    unsigned char* to = (unsigned char*)destination;
    const unsigned char* from = (const unsigned char*)source;
    while (count--)
        *to++ = *from++;
    return destination;
}

extern "C" void* memset(void* destination, int value, size_t count)
{
    unsigned char* to = (unsigned char*)destination;
    while (count--)
        *to++ = (unsigned char)value;
    return destination;
}
