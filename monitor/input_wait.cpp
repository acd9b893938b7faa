// The monitor's wait: StopEvent, WakeEvent, the poll's time-out and one
// pending read of the UPS's input reports. The judgement of a report is pure
// (the first half); the second handle and its overlapped read are the thin
// Windows half. All of it belongs to the monitor thread.
#include "monitor/input_wait.h"
#include "monitor/monitor.h"
#include "base/text.h"
#include "ups/discovery.h"

void InitInputFilter(InputReportFilter* filter, BYTE* rows, ULONG length)
{
    ByteClear(filter, sizeof(*filter));
    filter->Rows = rows;
    filter->Length = length;
}

// The report as a whole row: length bytes, then zeros.
static BOOL SameAsRow(const BYTE* row, const BYTE* report, ULONG length, ULONG rowLength)
{
    for (ULONG i = 0; i < rowLength; i++) {
        if (row[i] != (i < length ? report[i] : 0))
            return FALSE;
    }
    return TRUE;
}

// The row that holds report id reportId, or the one it takes: a free row,
// else the next in turn.
static BYTE* RowFor(InputReportFilter* filter, BYTE reportId, BOOL* known)
{
    for (INT32 i = 0; i < filter->Count; i++) {
        BYTE* row = filter->Rows + (ULONG)i * filter->Length;
        if (row[0] == reportId) {
            *known = TRUE;
            return row;
        }
    }
    *known = FALSE;
    INT32 index = filter->Count < INPUT_MEMORY_REPORTS ? filter->Count++ : filter->NextRow++ % INPUT_MEMORY_REPORTS;
    return filter->Rows + (ULONG)index * filter->Length;
}

int JudgeInputReport(InputReportFilter* filter, const BYTE* report, ULONG length, UINT32 now)
{
    // Only reads that bring nothing count towards the bound: a device that
    // completes them at once must not keep the thread reading, but a report
    // the device really sent costs one wake and is read, however often the
    // UPS repeats it.
    if (length == 0 || length > filter->Length) {
        filter->EmptyReads++;
        return INPUT_NO_PASS;
    }
    BOOL known = FALSE;
    BYTE* row = RowFor(filter, report[0], &known);
    if (known && SameAsRow(row, report, length, filter->Length))
        return INPUT_NO_PASS;
    ByteClear(row, filter->Length);
    ByteCopy(row, report, length);
    if (filter->Folded)
        return INPUT_PASS_LATER;
    if (filter->Passed && now - filter->LastPassTick < INPUT_PASS_SPACING_MS) {
        filter->Folded = TRUE;
        return INPUT_PASS_LATER;
    }
    StartInputPass(filter, TRUE, now);
    return INPUT_PASS_NOW;
}

BOOL InputReadAllowed(const InputReportFilter* filter)
{
    return !filter->Folded && filter->EmptyReads < INPUT_EMPTY_READS_PER_PASS;
}

DWORD FoldedPassDueIn(const InputReportFilter* filter, UINT32 now)
{
    if (!filter->Folded)
        return INFINITE;
    UINT32 elapsed = now - filter->LastPassTick;
    return elapsed >= INPUT_PASS_SPACING_MS ? 0 : INPUT_PASS_SPACING_MS - elapsed;
}

void StartInputPass(InputReportFilter* filter, BOOL byReport, UINT32 now)
{
    filter->Folded = FALSE;
    filter->EmptyReads = 0;
    if (byReport) {
        filter->Passed = TRUE;
        filter->LastPassTick = now;
    }
}

// ---- the second handle and its read ----

enum : DWORD { INPUT_CANCEL_WAIT_MS = 500 };

InputWaitSystemCalls InputWaitCalls = { CancelIoEx };

struct InputWaitState {
    HANDLE Handle;          // opened for reading; null while none
    UINT32 Generation;      // the UpsDevice open it was tried for
    HANDLE Event;           // the read's, manual reset
    // One heap block: the read's OVERLAPPED, its buffer, then the filter's
    // rows. A read whose cancel is not waited out keeps the whole block, so
    // that its late completion writes into nothing a later read uses.
    OVERLAPPED* Overlapped;
    BYTE* Buffer;
    BOOL Pending;           // a read is in flight
    BOOL Failed;            // the last read failed: not issued again before the next pass
    InputReportFilter Filter;
};

// Zero-filled: a record with an initializer would be stored whole in the file.
static InputWaitState InputWait;
static DWORD TestPollMs;

void StartInputWait()
{
    WCHAR text[8];
    DWORD length = GetEnvironmentVariableW(L"CORVANE_TEST_POLL_MS", text, ARRAYSIZE(text));
    if (length == 0 || length >= ARRAYSIZE(text))
        return;
    DWORD value = 0;
    for (DWORD i = 0; i < length; i++) {
        if (text[i] < L'0' || text[i] > L'9')
            return;
        value = value * 10 + (DWORD)(text[i] - L'0');
    }
    TestPollMs = value > (DWORD)INPUT_TEST_POLL_MAX_MS ? (DWORD)INPUT_TEST_POLL_MAX_MS : value;
}

static void IssueRead()
{
    ByteClear(InputWait.Overlapped, sizeof(OVERLAPPED) + InputWait.Filter.Length);
    InputWait.Overlapped->hEvent = InputWait.Event;
    if (ReadFile(InputWait.Handle, InputWait.Buffer, InputWait.Filter.Length, NULL, InputWait.Overlapped)
        || GetLastError() == ERROR_IO_PENDING)
        InputWait.Pending = TRUE;
    else
        InputWait.Failed = TRUE;
}

static void CloseReader()
{
    BOOL abandoned = FALSE;
    if (InputWait.Pending) {
        InputWaitCalls.CancelIoEx(InputWait.Handle, InputWait.Overlapped);
        // Until the read is over the system may still write its buffer and
        // set its event. One that does not end in time keeps them for good.
        abandoned = WaitForSingleObject(InputWait.Event, INPUT_CANCEL_WAIT_MS) != WAIT_OBJECT_0;
    }
    CloseHandle(InputWait.Handle);
    if (!abandoned) {
        HeapFree(GetProcessHeap(), 0, InputWait.Overlapped);
        CloseHandle(InputWait.Event);
    }
    InputWait.Handle = NULL;
    InputWait.Event = NULL;
    InputWait.Overlapped = NULL;
    InputWait.Buffer = NULL;
    InputWait.Pending = FALSE;
    InputWait.Failed = FALSE;
    ByteClear(&InputWait.Filter, sizeof(InputWait.Filter));
}

// Tried once for each device: one whose reports are missing, too long, or
// whose read handle cannot be had is polled as before.
static void OpenReader()
{
    InputWait.Generation = UpsDevice.Generation;
    ULONG length = UpsDevice.Caps.InputReportByteLength;
    if (length == 0 || length > INPUT_REPORT_MAX_BYTES)
        return;
    HANDLE handle = CreateFileW(UpsDevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    OVERLAPPED* block =
        (OVERLAPPED*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(OVERLAPPED) + (INPUT_MEMORY_REPORTS + 1) * length);
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!block || !event) {
        if (block)
            HeapFree(GetProcessHeap(), 0, block);
        if (event)
            CloseHandle(event);
        CloseHandle(handle);
        return;
    }
    InputWait.Handle = handle;
    InputWait.Event = event;
    InputWait.Overlapped = block;
    InputWait.Buffer = (BYTE*)(block + 1);
    InitInputFilter(&InputWait.Filter, InputWait.Buffer + length, length);
}

// The reader follows the open UPS: closed when it goes or is replaced by
// another, opened for each new one.
static void FollowDevice()
{
    BOOL open = UpsDevice.Handle != INVALID_HANDLE_VALUE;
    if (InputWait.Handle && (!open || InputWait.Generation != UpsDevice.Generation))
        CloseReader();
    if (open && InputWait.Generation != UpsDevice.Generation)
        OpenReader();
}

// A completed read: judged, and read again at once unless it starts or
// waits for a pass.
static int TakeReport(UINT32 now)
{
    DWORD received = 0;
    InputWait.Pending = FALSE;
    if (!GetOverlappedResult(InputWait.Handle, InputWait.Overlapped, &received, FALSE)) {
        InputWait.Failed = TRUE;
        return INPUT_NO_PASS;
    }
    int verdict = JudgeInputReport(&InputWait.Filter, InputWait.Buffer, received, now);
    if (verdict == INPUT_NO_PASS && InputReadAllowed(&InputWait.Filter))
        IssueRead();
    return verdict;
}

BOOL WaitForNextPass(DWORD pollMs, DWORD deadlineMs)
{
    FollowDevice();
    BOOL reading = InputWait.Handle != NULL;
    if (reading && !InputWait.Pending && !InputWait.Failed && InputReadAllowed(&InputWait.Filter))
        IssueRead();
    DWORD waitMs = reading && TestPollMs > pollMs ? TestPollMs : pollMs;
    if (deadlineMs < waitMs)
        waitMs = deadlineMs;
    // StopEvent is first, so it wins when several are set.
    HANDLE events[3] = { StopEvent, WakeEvent, InputWait.Event };
    DWORD started = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - started;
        DWORD timeout = elapsed >= waitMs ? 0 : waitMs - elapsed;
        DWORD folded = FoldedPassDueIn(&InputWait.Filter, GetTickCount());
        if (reading && folded < timeout)
            timeout = folded;
        DWORD result = WaitForMultipleObjects(InputWait.Pending ? 3 : 2, events, FALSE, timeout);
        if (result == WAIT_OBJECT_0)
            return FALSE;
        if (result != WAIT_OBJECT_0 + 2) {
            // A wake, the poll's time-out, or the folded pass now due: only
            // the last counts for the spacing of the reports' passes.
            BOOL byReport = result == WAIT_TIMEOUT && reading && FoldedPassDueIn(&InputWait.Filter, GetTickCount()) == 0;
            StartInputPass(&InputWait.Filter, byReport, GetTickCount());
            InputWait.Failed = FALSE;
            return TRUE;
        }
        // JudgeInputReport has counted a pass it starts at once. A read was
        // pending, so none had failed since the last pass.
        if (TakeReport(GetTickCount()) == INPUT_PASS_NOW)
            return TRUE;
    }
}

void EndInputWait()
{
    if (InputWait.Handle)
        CloseReader();
}
