// Theme state of the user-interface thread.
#include "ui/theme.h"

int DpiValue = 96;

int S(int pixels)
{
    return MulDiv(pixels, DpiValue, 96);
}
