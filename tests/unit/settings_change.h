// Tests change the published settings as the settings window does, whole,
// and put the defaults back afterwards.
#pragma once
#include "app/settings.h"

template <typename Change>
void ChangeSettings(Change change)
{
    Settings settings;
    CopySettings(&settings);
    change(&settings);
    PublishSettings(&settings);
}

inline void RestoreDefaultSettings()
{
    Settings settings;
    DefaultSettings(&settings);
    PublishSettings(&settings);
}
