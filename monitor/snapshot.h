// The state the monitor thread shares with the user-interface thread: the
// Snapshot (latest UpsStatus) and the HistoryRing, both guarded by StatusLock.
// Only the monitor thread writes them, holding the lock exclusively for one
// record copy and at most one sample; readers hold it shared just long
// enough to copy out, and work on their copies.
#pragma once
#include <windows.h>
#include "ups/status.h"

enum {
    HISTORY_CAPACITY = 512,
    HISTORY_SAMPLE_INTERVAL_MS = 9500,
};

struct HistorySample {
    UINT32 Tick;     // GetTickCount at the moment of storing
    UINT8 Load;      // percent, 0..100 (unreported stored as 0)
    UINT8 Charge;    // percent, 0..100 (unreported stored as 0)
};

struct HistoryRingState {
    HistorySample Samples[HISTORY_CAPACITY];
    INT32 WriteIndex;         // slot the next sample goes to
    INT32 Count;              // valid samples, 0..512
    UINT32 LastSampleTick;
};

extern SRWLOCK StatusLock;
extern UpsStatus Snapshot;
extern HistoryRingState HistoryRing;

// Monitor thread: copies the working record into the Snapshot and, when a UPS
// is present and a sample is due, adds one to the ring; all under the lock.
void PublishStatus(const UpsStatus* status);

// User-interface thread: a copy of the latest Snapshot.
void CopySnapshot(UpsStatus* copy);

// Any reader: the copy and the tick of its publication, so that its age
// can be judged.
UINT32 CopySnapshotAndTick(UpsStatus* copy);

// Any reader: the latest record published with a UPS present (all zero
// before the first), what it last said once it is gone.
void CopyLastSeenStatus(UpsStatus* copy);

// User-interface thread: the valid samples, oldest first, into an array of
// HISTORY_CAPACITY entries; returns how many were copied.
int CopyHistory(HistorySample* samples);

// The ring's sampling rule, pure so that the clock is a parameter: stores a
// sample when the ring is empty or at least 9500 ms (unsigned, so right across
// the tick counter's wrap) have passed since the last one. Returns whether it
// stored one.
BOOL SampleHistory(HistoryRingState* ring, UINT32 now, INT32 loadPercent, INT32 chargePercent);

// Copies the ring's valid samples oldest first; returns the count.
int CopyRingSamples(const HistoryRingState* ring, HistorySample* samples);
