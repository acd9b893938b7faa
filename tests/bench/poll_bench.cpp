// One poll of the plain emulated UPS, timed in process: the product's own
// discovery and poll against the emulator, 200 polls after 20 to warm up.
// Prints one JSON object: the requests of one poll of each profile that is a
// UPS, and the plain UPS's poll times in ms.
// Run by tools/bench.py in a prefix with the emulator's driver installed.
#include <windows.h>
#include <stdio.h>
#include <wchar.h>
#include <algorithm>
#include <vector>
#include "emu_client.h"
#include "ups/discovery.h"
#include "ups/hid_calls.h"

// "name": requests, for every profile Corvane takes for a UPS.
static void PrintRequestsByProfile()
{
    printf("\"requests_by_profile\": {");
    const char* separator = "";
    for (int i = 0; i < emu_profile_count(); i++) {
        UpsStatus status;
        ResetStatus(&status);
        EmuProfile profile;
        if (!emu_profile_get(emu_profile_name(i), &profile) || !emu_add(0, &profile) || !OpenUps(&status))
            continue;
        // Right after a device is replaced, the one before may still be
        // listed for a moment.
        for (int tries = 0; tries < 20 && wcscmp(status.Product, profile.product); tries++) {
            CloseUps();
            Sleep(50);
            ResetStatus(&status);
            OpenUps(&status);
        }
        uint32_t requests = 0;
        emu_reset_log(0);
        PollUps(&status);
        emu_request_count(0, &requests);
        CloseUps();
        printf("%s\"%s\": %u", separator, emu_profile_name(i), requests);
        separator = ", ";
    }
    printf("}, ");
}

int main()
{
    const int warmUp = 20, polls = 200;
    if (!LoadHidCalls()) {
        printf("{\"error\": \"no hid.dll\"}\n");
        return 1;
    }
    printf("{");
    PrintRequestsByProfile();
    if (!emu_add_profile(0, "plain")) {
        printf("\"error\": \"no UPS: %s\"}\n", emu_last_error());
        return 1;
    }
    UpsStatus status;
    ResetStatus(&status);
    if (!OpenUps(&status)) {
        printf("\"error\": \"the plain UPS was not found\"}\n");
        return 1;
    }
    for (int i = 0; i < warmUp; i++)
        PollUps(&status);
    uint32_t requests = 0;
    emu_reset_log(0);
    INT32 present = PollUps(&status);
    emu_request_count(0, &requests);

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    for (int i = 0; i < polls; i++) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        PollUps(&status);
        QueryPerformanceCounter(&end);
        ms.push_back((double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart);
    }
    CloseUps();
    emu_remove(0);
    std::sort(ms.begin(), ms.end());
    printf("\"present\": %d, \"requests\": %u, \"polls\": %d, \"median_ms\": %.3f, \"min_ms\": %.3f, "
           "\"max_ms\": %.3f}\n",
           (int)present, requests, polls, ms[ms.size() / 2], ms.front(), ms.back());
    return 0;
}
