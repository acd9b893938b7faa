// The history ring's sampling rule and order, driven with an explicit clock,
// and the publish/copy routines the user interface reads through.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include "monitor/snapshot.h"

namespace {

class Ring : public ::testing::Test {
protected:
    void SetUp() override { memset(&ring, 0, sizeof(ring)); }
    HistoryRingState ring;
    HistorySample out[HISTORY_CAPACITY];
};

TEST_F(Ring, FirstSampleIsStoredAtOnce)
{
    EXPECT_TRUE(SampleHistory(&ring, 123456, 25, 100));
    EXPECT_EQ(1, ring.Count);
    EXPECT_EQ(1, ring.WriteIndex);
    EXPECT_EQ(123456u, ring.LastSampleTick);
    EXPECT_EQ(123456u, ring.Samples[0].Tick);
    EXPECT_EQ(25, ring.Samples[0].Load);
    EXPECT_EQ(100, ring.Samples[0].Charge);
}

TEST_F(Ring, EmptyRingSamplesEvenAtTickZeroAndRightAfterIt)
{
    // An empty ring takes a sample whatever the last tick says.
    EXPECT_TRUE(SampleHistory(&ring, 0, 1, 2));
    EXPECT_FALSE(SampleHistory(&ring, 5, 1, 2));
    EXPECT_EQ(1, ring.Count);
}

TEST_F(Ring, NineThousandFourHundredNinetyNineIsTooSoonNineThousandFiveHundredIsDue)
{
    ASSERT_TRUE(SampleHistory(&ring, 1000, 10, 90));
    EXPECT_FALSE(SampleHistory(&ring, 1000 + 9499, 11, 89));
    EXPECT_EQ(1, ring.Count);
    EXPECT_EQ(1000u, ring.LastSampleTick);
    EXPECT_TRUE(SampleHistory(&ring, 1000 + 9500, 12, 88));
    EXPECT_EQ(2, ring.Count);
    EXPECT_EQ(10500u, ring.LastSampleTick);
    EXPECT_EQ(12, ring.Samples[1].Load);
    // The interval counts from the last stored sample, not the last attempt.
    EXPECT_FALSE(SampleHistory(&ring, 10500 + 9499, 0, 0));
    EXPECT_TRUE(SampleHistory(&ring, 10500 + 20000, 0, 0));
}

TEST_F(Ring, TickCounterWrapKeepsTheInterval)
{
    const UINT32 last = 0xFFFFFFFFu - 4000;   // 4001 ms before the wrap
    ASSERT_TRUE(SampleHistory(&ring, last, 1, 1));
    EXPECT_FALSE(SampleHistory(&ring, 5498, 2, 2)) << "9499 ms across the wrap";
    EXPECT_TRUE(SampleHistory(&ring, 5499, 3, 3)) << "9500 ms across the wrap";
    EXPECT_EQ(2, ring.Count);
    EXPECT_EQ(5499u, ring.LastSampleTick);
}

TEST_F(Ring, ClampsLoadAndChargeToZeroToHundred)
{
    UINT32 now = 0;
    const INT32 values[] = { -1, 0, 100, 101, 250, -2147483647 - 1, 37 };
    const UINT8 stored[] = { 0, 0, 100, 100, 100, 0, 37 };
    for (int i = 0; i < 7; i++, now += 10000) {
        ASSERT_TRUE(SampleHistory(&ring, now, values[i], values[6 - i]));
        EXPECT_EQ(stored[i], ring.Samples[i].Load) << i;
        EXPECT_EQ(stored[6 - i], ring.Samples[i].Charge) << i;
    }
}

TEST_F(Ring, FiveHundredThirteenthSampleOverwritesTheOldest)
{
    UINT32 now = 77;
    for (int i = 0; i < HISTORY_CAPACITY; i++, now += 9500)
        ASSERT_TRUE(SampleHistory(&ring, now, i % 101, 100 - i % 101));
    EXPECT_EQ(512, ring.Count);
    EXPECT_EQ(0, ring.WriteIndex);
    EXPECT_EQ(77u, ring.Samples[0].Tick);

    ASSERT_TRUE(SampleHistory(&ring, now, 55, 44));
    EXPECT_EQ(512, ring.Count);
    EXPECT_EQ(1, ring.WriteIndex);
    EXPECT_EQ(now, ring.Samples[0].Tick);
    EXPECT_EQ(55, ring.Samples[0].Load);

    // Oldest first: the one stored second, then in order to the newest.
    ASSERT_EQ(512, CopyRingSamples(&ring, out));
    EXPECT_EQ(77u + 9500, out[0].Tick);
    for (int i = 1; i < 512; i++)
        ASSERT_EQ(out[i - 1].Tick + 9500, out[i].Tick) << i;
    EXPECT_EQ(now, out[511].Tick);
    EXPECT_EQ(44, out[511].Charge);
}

TEST_F(Ring, CopyOfAPartlyFilledRingIsOldestFirst)
{
    EXPECT_EQ(0, CopyRingSamples(&ring, out));
    for (int i = 0; i < 3; i++)
        SampleHistory(&ring, 10000u * (UINT32)i, i, i);
    ASSERT_EQ(3, CopyRingSamples(&ring, out));
    EXPECT_EQ(0u, out[0].Tick);
    EXPECT_EQ(20000u, out[2].Tick);
}

TEST_F(Ring, CopyWrapsFromTheLastSlotToTheFirst)
{
    // A full ring whose write index sits in the middle.
    UINT32 now = 0;
    for (int i = 0; i < HISTORY_CAPACITY + 300; i++, now += 10000)
        SampleHistory(&ring, now, 0, 0);
    EXPECT_EQ(300, ring.WriteIndex);
    ASSERT_EQ(512, CopyRingSamples(&ring, out));
    EXPECT_EQ(300u * 10000, out[0].Tick);
    EXPECT_EQ(ring.Samples[511].Tick, out[211].Tick);
    EXPECT_EQ(ring.Samples[0].Tick, out[212].Tick);
    EXPECT_EQ(now - 10000, out[511].Tick);
}

// The shared Snapshot and ring through the routines both threads use. These
// tests are the only users of the process-wide state in this program.
TEST(SharedStatus, PublishCopiesTheRecordAndSamplesOnlyWithAUpsPresent)
{
    UpsStatus status;
    ResetStatus(&status);
    UpsStatus copy;
    CopySnapshot(&copy);
    EXPECT_EQ(0, copy.Present) << "all zero before the first publish";
    EXPECT_EQ(0, copy.ChargePercent);

    PublishStatus(&status);
    HistorySample samples[HISTORY_CAPACITY];
    EXPECT_EQ(0, CopyHistory(samples)) << "no sample without a UPS";
    CopySnapshot(&copy);
    EXPECT_EQ(-1, copy.ChargePercent);

    status.Present = 1;
    status.ChargePercent = 97;
    status.LoadPercent = -1;
    status.Product[0] = L'Z';
    DWORD before = GetTickCount();
    PublishStatus(&status);
    DWORD after = GetTickCount();
    CopySnapshot(&copy);
    EXPECT_EQ(0, memcmp(&status, &copy, sizeof(status)));
    ASSERT_EQ(1, CopyHistory(samples));
    EXPECT_EQ(97, samples[0].Charge);
    EXPECT_EQ(0, samples[0].Load);
    // Unsigned: a tick before `before` wraps to a huge difference and fails too.
    EXPECT_LE(samples[0].Tick - before, after - before);

    // Published again at once: the Snapshot follows, the ring waits 9.5 s.
    status.ChargePercent = 96;
    PublishStatus(&status);
    CopySnapshot(&copy);
    EXPECT_EQ(96, copy.ChargePercent);
    EXPECT_EQ(1, CopyHistory(samples));
}

}  // namespace
