// The Snapshot and the HistoryRing, guarded together by StatusLock. Written
// only by the monitor thread; read by the user-interface and network server
// threads as copies.
// All of it is static storage, zero at load: an all-zero SRWLOCK is unlocked
// and an all-zero Snapshot reads as "no UPS".
#include "monitor/snapshot.h"
#include "base/text.h"

SRWLOCK StatusLock;
UpsStatus Snapshot;
HistoryRingState HistoryRing;
// GetTickCount when the Snapshot was last published, and the latest record
// published with a UPS present; under StatusLock with it.
static UINT32 SnapshotTick;
static UpsStatus LastSeen;

static UINT8 ClampPercent(INT32 value)
{
    if (value < 0)
        return 0;
    if (value > 100)
        return 100;
    return (UINT8)value;
}

BOOL SampleHistory(HistoryRingState* ring, UINT32 now, INT32 loadPercent, INT32 chargePercent)
{
    if (ring->Count != 0 && now - ring->LastSampleTick < HISTORY_SAMPLE_INTERVAL_MS)
        return FALSE;
    HistorySample* slot = &ring->Samples[ring->WriteIndex];
    slot->Tick = now;
    slot->Load = ClampPercent(loadPercent);
    slot->Charge = ClampPercent(chargePercent);
    ring->WriteIndex = (ring->WriteIndex + 1) % HISTORY_CAPACITY;
    if (ring->Count < HISTORY_CAPACITY)
        ring->Count++;
    ring->LastSampleTick = now;
    return TRUE;
}

int CopyRingSamples(const HistoryRingState* ring, HistorySample* samples)
{
    int index = (ring->WriteIndex - ring->Count + HISTORY_CAPACITY) % HISTORY_CAPACITY;
    for (int i = 0; i < ring->Count; i++) {
        samples[i] = ring->Samples[index];
        index = (index + 1) % HISTORY_CAPACITY;
    }
    return ring->Count;
}

void PublishStatus(const UpsStatus* status)
{
    AcquireSRWLockExclusive(&StatusLock);
    Snapshot = *status;
    // The tick is read inside the lock so that samples are stored in the
    // order of their ticks.
    UINT32 now = GetTickCount();
    SnapshotTick = now;
    if (status->Present) {
        LastSeen = *status;
        SampleHistory(&HistoryRing, now, status->LoadPercent, status->ChargePercent);
    }
    ReleaseSRWLockExclusive(&StatusLock);
}

void CopySnapshot(UpsStatus* copy)
{
    AcquireSRWLockShared(&StatusLock);
    *copy = Snapshot;
    ReleaseSRWLockShared(&StatusLock);
}

UINT32 CopySnapshotAndTick(UpsStatus* copy)
{
    AcquireSRWLockShared(&StatusLock);
    *copy = Snapshot;
    UINT32 tick = SnapshotTick;
    ReleaseSRWLockShared(&StatusLock);
    return tick;
}

void CopyLastSeenStatus(UpsStatus* copy)
{
    AcquireSRWLockShared(&StatusLock);
    *copy = LastSeen;
    ReleaseSRWLockShared(&StatusLock);
}

int CopyHistory(HistorySample* samples)
{
    AcquireSRWLockShared(&StatusLock);
    int count = CopyRingSamples(&HistoryRing, samples);
    ReleaseSRWLockShared(&StatusLock);
    return count;
}
