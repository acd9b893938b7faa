// The decision at the commit point, as one table: the only rows that write
// are a shutdown or restart of this computer while FSD is raised and the UPS
// is on battery, with the setting on and a field that can hold it.
#include <gtest/gtest.h>
#include <windows.h>
#include "upsoff/rule.h"

namespace {

TEST(UpsOff, WritesOnlyWhenThisComputerGoesDownInAnOutageWithFsd)
{
    const LPARAM LOGOFF = (LPARAM)ENDSESSION_LOGOFF, CLOSEAPP = ENDSESSION_CLOSEAPP;
    const LPARAM CRITICAL = ENDSESSION_CRITICAL;
    const int READY = UPSOFF_FIELD_READY, MISSING = UPSOFF_FIELD_MISSING, SMALL = UPSOFF_FIELD_TOO_SMALL;
    const struct {
        const char* what;
        UpsOffFacts facts;
        int action;
    } rows[] = {
        { "shutdown or restart", { 120, TRUE, 0, TRUE, TRUE, READY }, UPSOFF_WRITE },
        { "forced by Windows", { 120, TRUE, CRITICAL, TRUE, TRUE, READY }, UPSOFF_WRITE },
        { "the shortest delay", { 60, TRUE, 0, TRUE, TRUE, READY }, UPSOFF_WRITE },
        { "the longest delay", { 600, TRUE, 0, TRUE, TRUE, READY }, UPSOFF_WRITE },
        { "a logoff", { 120, TRUE, LOGOFF, TRUE, TRUE, READY }, UPSOFF_NOTHING },
        { "a logoff, forced", { 120, TRUE, LOGOFF | CRITICAL, TRUE, TRUE, READY }, UPSOFF_NOTHING },
        { "closed for an update", { 120, TRUE, CLOSEAPP, TRUE, TRUE, READY }, UPSOFF_NOTHING },
        { "the session goes on", { 120, FALSE, 0, TRUE, TRUE, READY }, UPSOFF_NOTHING },
        { "no FSD", { 120, TRUE, 0, FALSE, TRUE, READY }, UPSOFF_NOTHING },
        { "on line", { 120, TRUE, 0, TRUE, FALSE, READY }, UPSOFF_NOTHING },
        { "the setting off", { 0, TRUE, 0, TRUE, TRUE, READY }, UPSOFF_NOTHING },
        { "59 would be now", { 59, TRUE, 0, TRUE, TRUE, READY }, UPSOFF_NOTHING },
        { "beyond the setting's range", { 601, TRUE, 0, TRUE, TRUE, READY }, UPSOFF_NOTHING },
        { "no field", { 120, TRUE, 0, TRUE, TRUE, MISSING }, UPSOFF_SAY_MISSING },
        { "a field too small", { 600, TRUE, 0, TRUE, TRUE, SMALL }, UPSOFF_SAY_TOO_SMALL },
        { "no field, on line: nothing to say", { 120, TRUE, 0, TRUE, FALSE, MISSING }, UPSOFF_NOTHING },
        { "no field, the setting off", { 0, TRUE, 0, TRUE, TRUE, MISSING }, UPSOFF_NOTHING },
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.action, ChooseUpsOffAction(&row.facts)) << row.what;
}

}  // namespace
