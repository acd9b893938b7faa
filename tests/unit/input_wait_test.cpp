// Whether an input report starts a pass: the pure judgement of the monitor's
// wait, played through scripts of reports and passes on a made-up clock.
#include <gtest/gtest.h>
#include <windows.h>
#include <vector>
#include "monitor/input_wait.h"

namespace {

const ULONG kLength = 4;

enum Step { REPORT, PASS_BY_REPORT, OTHER_PASS };

struct Event {
    Step step;
    UINT32 tick;
    std::vector<BYTE> bytes;   // REPORT: id first; shorter than kLength means zeros after
    int verdict;               // REPORT: the expected verdict
    DWORD dueIn;               // after the step: FoldedPassDueIn
};

class Filter {
public:
    Filter() : rows_(INPUT_MEMORY_REPORTS * kLength, 0xEE) { InitInputFilter(&filter_, rows_.data(), kLength); }

    void Play(const std::vector<Event>& script)
    {
        for (size_t i = 0; i < script.size(); i++) {
            const Event& e = script[i];
            SCOPED_TRACE(i);
            if (e.step == REPORT)
                EXPECT_EQ(e.verdict, JudgeInputReport(&filter_, e.bytes.data(), (ULONG)e.bytes.size(), e.tick));
            else
                StartInputPass(&filter_, e.step == PASS_BY_REPORT, e.tick);
            EXPECT_EQ(e.dueIn, FoldedPassDueIn(&filter_, e.tick));
            EXPECT_EQ(e.dueIn == INFINITE, (bool)InputReadAllowed(&filter_));
        }
    }

    InputReportFilter filter_;

private:
    std::vector<BYTE> rows_;
};

const DWORD NONE = INFINITE;

TEST(InputReport, NewsStartsAPassAtOnceThenAtMostOneASecond)
{
    Filter f;
    f.Play({
        { REPORT, 5000, { 2, 0x01 }, INPUT_PASS_NOW, NONE },          // the first report is news
        { REPORT, 5100, { 2, 0x01 }, INPUT_NO_PASS, NONE },           // repeated: nothing
        { REPORT, 5150, { 2, 0x01, 0, 0 }, INPUT_NO_PASS, NONE },     // the same, padded
        { REPORT, 5200, { 2, 0x04 }, INPUT_PASS_LATER, 800 },         // news within the second: folded
        { REPORT, 5300, { 1, 0x37 }, INPUT_PASS_LATER, 700 },         // more news joins the fold
        { PASS_BY_REPORT, 6000, {}, 0, NONE },                        // the folded pass, due at 6000
        { REPORT, 6200, { 2, 0x04 }, INPUT_NO_PASS, NONE },           // what the fold remembered
        { REPORT, 6300, { 2, 0x05 }, INPUT_PASS_LATER, 700 },
        { OTHER_PASS, 6400, {}, 0, NONE },                            // a poll or wake covers the fold...
        { REPORT, 6500, { 2, 0x06 }, INPUT_PASS_LATER, 500 },         // ...but does not space reports
        { PASS_BY_REPORT, 7000, {}, 0, NONE },
        { REPORT, 8000, { 2, 0x07 }, INPUT_PASS_NOW, NONE },          // a second after: at once
        { REPORT, 8001, { 3, 0x07 }, INPUT_PASS_LATER, 999 },         // another id, never seen: news
    });
}

TEST(InputReport, TheSpacingHoldsAcrossTheTickCountersWrap)
{
    Filter f;
    f.Play({
        { REPORT, 0xFFFFFF00u, { 2, 0x01 }, INPUT_PASS_NOW, NONE },
        { REPORT, 0x00000200u, { 2, 0x02 }, INPUT_PASS_LATER, 1000 - 0x300 },
        { PASS_BY_REPORT, 0x000002E8u, {}, 0, NONE },
        { REPORT, 0x000006D0u, { 2, 0x03 }, INPUT_PASS_NOW, NONE },   // 1000 ms after the pass
    });
}

TEST(InputReport, SeventeenIdsForgetTheOldestAndOversizedReportsAreNoNews)
{
    Filter f;
    std::vector<Event> script;
    UINT32 tick = 1000;
    // One report each for ids 1..17, a pass before each so that all start one.
    for (BYTE id = 1; id <= INPUT_MEMORY_REPORTS + 1; id++) {
        script.push_back({ PASS_BY_REPORT, tick, {}, 0, NONE });
        tick += 1000;
        script.push_back({ REPORT, tick, { id, 0x10 }, INPUT_PASS_NOW, NONE });
        tick += 1000;
    }
    // Id 2 is still known; id 1 gave its row to id 17, so it is news again.
    script.push_back({ REPORT, tick, { 2, 0x10 }, INPUT_NO_PASS, NONE });
    script.push_back({ REPORT, tick, { 1, 0x10 }, INPUT_PASS_NOW, NONE });
    script.push_back({ REPORT, tick + 2000, { 1, 0, 0, 0, 0x99 }, INPUT_NO_PASS, NONE });
    f.Play(script);
}

TEST(InputReport, RepeatsAreReadHoweverManyButEmptyReadsOnlyAFewTimesAPass)
{
    Filter f;
    std::vector<Event> script = { { REPORT, 100, { 2, 0x01 }, INPUT_PASS_NOW, NONE } };
    f.Play(script);
    // A UPS repeating its status: each repeat costs a wake, and the reports
    // that follow are still read at once.
    for (int i = 0; i < 2 * INPUT_EMPTY_READS_PER_PASS; i++)
        EXPECT_EQ(INPUT_NO_PASS, JudgeInputReport(&f.filter_, script[0].bytes.data(), 2, 101 + i));
    EXPECT_TRUE(InputReadAllowed(&f.filter_));
    // A device completing reads at once with nothing must not keep the
    // thread reading.
    for (int i = 0; i < INPUT_EMPTY_READS_PER_PASS; i++) {
        EXPECT_TRUE(InputReadAllowed(&f.filter_)) << i;
        EXPECT_EQ(INPUT_NO_PASS, JudgeInputReport(&f.filter_, script[0].bytes.data(), 0, 300 + i));
    }
    EXPECT_FALSE(InputReadAllowed(&f.filter_));
    StartInputPass(&f.filter_, FALSE, 5100);
    EXPECT_TRUE(InputReadAllowed(&f.filter_));
}

}  // namespace
