// The monitor's wait between passes. Besides StopEvent, WakeEvent and the
// 5 s / 2 s poll, it keeps one read of the UPS's input reports pending on a
// second handle: a UPS sends one on its interrupt endpoint when its status
// changes, and a report that is news starts the next pass at once. The
// values still come from that pass's feature reads. Monitor thread only.
#pragma once
#include <windows.h>

enum {
    INPUT_PASS_SPACING_MS = 1000,   // reports start at most one pass a second
    INPUT_MEMORY_REPORTS = 16,      // report ids whose last report is remembered
    INPUT_EMPTY_READS_PER_PASS = 64,    // reads that bring nothing, between two passes at most
    INPUT_REPORT_MAX_BYTES = 1024,  // a UPS with longer input reports is polled
    INPUT_TEST_POLL_MAX_MS = 60000,
};

enum InputVerdict {
    INPUT_NO_PASS,      // the same bytes as the last report of its id
    INPUT_PASS_NOW,
    INPUT_PASS_LATER,   // folded into the pass a second after the last
};

// What the wait remembers of the reports; pure, so that the clock is a
// parameter.
struct InputReportFilter {
    BYTE* Rows;             // INPUT_MEMORY_REPORTS rows of Length bytes
    ULONG Length;           // the device's input report length, id byte included
    INT32 Count;            // rows in use; byte 0 of a row is its report id
    INT32 NextRow;          // the row a new id takes once all are used
    INT32 EmptyReads;       // reads that brought nothing since the last pass
    BOOL Passed;            // a report has started a pass
    UINT32 LastPassTick;    // when a report last started one
    BOOL Folded;            // news waits for the pass due a second after that
};

void InitInputFilter(InputReportFilter* filter, BYTE* rows, ULONG length);

// The verdict on one report of length bytes (at most filter->Length; the
// rest counts as zero) that arrived at now. A report that is news is
// remembered; PASS_NOW also counts as the start of a pass by a report.
int JudgeInputReport(InputReportFilter* filter, const BYTE* report, ULONG length, UINT32 now);

// Whether the next report should be read before the next pass: not while
// news is folded (the pass will read the values anyway), nor once
// INPUT_EMPTY_READS_PER_PASS reads have brought nothing since the last pass.
BOOL InputReadAllowed(const InputReportFilter* filter);

// Milliseconds until the folded pass is due, 0 when it is; INFINITE when
// nothing is folded.
DWORD FoldedPassDueIn(const InputReportFilter* filter, UINT32 now);

// A pass starts: any pass covers what was folded; one started by a report
// (byReport) also counts for the spacing.
void StartInputPass(InputReportFilter* filter, BOOL byReport, UINT32 now);

// The Windows side.

// Reads the test hook CORVANE_TEST_POLL_MS: for a UPS whose input reports
// are awaited, the fallback poll is lengthened to that many milliseconds,
// at most INPUT_TEST_POLL_MAX_MS; never shortened. A UPS without input
// reports is always polled at the normal pace. Called once, at the start of
// the monitor thread.
void StartInputWait();

// Waits pollMs (lengthened by the test hook while reports are read), never
// past deadlineMs (INFINITE: none), or for a report, a wake or the stop, with
// the input read following the open UPS: opened for each newly found device
// that lists input reports, cancelled and closed when it goes. FALSE when
// StopEvent ends the wait.
BOOL WaitForNextPass(DWORD pollMs, DWORD deadlineMs);

// The call a test stands in for, to see what a cancel is asked to cancel.
struct InputWaitSystemCalls {
    BOOL (WINAPI* CancelIoEx)(HANDLE file, LPOVERLAPPED overlapped);
};
extern InputWaitSystemCalls InputWaitCalls;

// Cancels a pending read and waits for it before its buffer and handle go;
// the thread calls it on its way out, and before it closes the UPS outside
// the wait (after a resume).
void EndInputWait();
