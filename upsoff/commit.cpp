// The output-off write. The monitor thread may be stuck in a synchronous
// request on its own handle when the session ends, and under Wine even an
// overlapped request returns only once the driver has answered it: the
// write runs on a thread of its own, on a handle and preparsed data of its
// own, and the commit gives it UPSOFF_WRITE_WAIT_MS. A writer still stuck
// after that keeps its record; a later commit does not start another.
#include "upsoff/commit.h"
#include "upsoff/rule.h"
#include "app/settings.h"
#include "base/log.h"
#include "base/text.h"
#include "monitor/shutdown.h"
#include "monitor/snapshot.h"
#include "net/server.h"
#include "ups/discovery.h"
#include "ups/hid_calls.h"

// Where the open UPS keeps DelayBeforeShutdown. Written by the monitor
// thread under UpsOffLock, copied out under it by the others.
struct UpsOffTarget {
    UINT32 Generation;          // the UPS open it describes
    int Field;                  // an UpsOffField, before the setting is applied
    OffDelaySlot Slot;
    ULONG ReportLength;
    WCHAR Path[UPS_PATH_UNITS];
};

// What the writer thread works on, from its start to its end.
struct UpsOffWrite {
    UpsOffTarget Target;
    BYTE Report[UPSOFF_REPORT_MAX_BYTES];
    UINT32 Raw;
    DWORD Error;
};

// Zero-filled: records with initializers would be stored whole in the file.
static SRWLOCK UpsOffLock;
static UpsOffTarget Target;
static UpsOffWrite Write;
static HANDLE Writer;
// One commit at a time; the second thread to meet the commit point leaves
// the write to the first.
static volatile LONG Committing;
// The UPS open for which a missing or too small field was logged.
static UINT32 ToldGeneration;

// The setting, read here only, once for each use: a change in the settings
// window must not meet a commit halfway.
static INT32 DelaySetting()
{
    Settings settings;
    CopySettings(&settings);
    return settings.UpsOffDelaySeconds;
}

static void DescribeField(UpsOffTarget* target)
{
    ULONG length = UpsDevice.Caps.FeatureReportByteLength;
    if (!OffDelayUsage.Found || length < 2 || length > UPSOFF_REPORT_MAX_BYTES)
        return;
    target->Field = UPSOFF_FIELD_READY;
    target->Slot = OffDelayUsage;
    target->ReportLength = length;
    AppendText(target->Path, 0, UPS_PATH_UNITS, UpsDevicePath);
}

void PublishUpsOffTarget()
{
    UpsOffTarget target;
    ByteClear(&target, sizeof(target));
    target.Generation = UpsDevice.Generation;
    DescribeField(&target);
    AcquireSRWLockExclusive(&UpsOffLock);
    Target = target;
    ReleaseSRWLockExclusive(&UpsOffLock);
}

static void CopyTarget(UpsOffTarget* target)
{
    AcquireSRWLockShared(&UpsOffLock);
    *target = Target;
    ReleaseSRWLockShared(&UpsOffLock);
}

// The field as the setting meets it: the raw value and the seconds counted.
static int ApplySetting(const UpsOffTarget* target, INT32 delaySeconds, UINT32* raw, INT32* counted)
{
    if (target->Field != UPSOFF_FIELD_READY)
        return target->Field;
    return UpsOffRawValue(&target->Slot, delaySeconds, raw, counted) ? UPSOFF_FIELD_READY
                                                                        : UPSOFF_FIELD_TOO_SMALL;
}

INT32 ServedUpsOffDelay()
{
    UpsOffTarget target;
    CopyTarget(&target);
    UINT32 raw = 0;
    INT32 counted = 0;
    return ApplySetting(&target, DelaySetting(), &raw, &counted) == UPSOFF_FIELD_READY ? counted : 0;
}

// A call that fails without saying why still counts as a failure.
static DWORD FailureCode()
{
    DWORD code = GetLastError();
    return code ? code : ERROR_GEN_FAILURE;
}

// The report is read first, so that the other values it holds (the
// startup delay, say) go back as the UPS gave them.
static DWORD WriteReport(HANDLE device, PHIDP_PREPARSED_DATA preparsed)
{
    const UpsOffTarget* target = &Write.Target;
    ByteClear(Write.Report, target->ReportLength);
    Write.Report[0] = target->Slot.ReportId;
    if (!HidCalls.HidD_GetFeature(device, Write.Report, target->ReportLength))
        return FailureCode();
    if (HidCalls.HidP_SetUsageValue(HidP_Feature, PAGE_POWER_DEVICE, target->Slot.LinkCollection,
                                    USAGE_DELAY_BEFORE_SHUTDOWN, Write.Raw, preparsed, (PCHAR)Write.Report,
                                    target->ReportLength) != HIDP_STATUS_SUCCESS)
        return ERROR_INVALID_DATA;
    return HidCalls.HidD_SetFeature(device, Write.Report, target->ReportLength) ? 0 : FailureCode();
}

static DWORD WINAPI WriteDelayThread(LPVOID)
{
    HANDLE device = CreateFileW(Write.Target.Path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        Write.Error = FailureCode();
        return 0;
    }
    PHIDP_PREPARSED_DATA preparsed = NULL;
    if (HidCalls.HidD_GetPreparsedData(device, &preparsed)) {
        Write.Error = WriteReport(device, preparsed);
        HidCalls.HidD_FreePreparsedData(preparsed);
    } else {
        Write.Error = FailureCode();
    }
    CloseHandle(device);
    return 0;
}

// 0 when the UPS took the delay, else the error to log.
static DWORD WriteDelay(const UpsOffTarget* target, UINT32 raw)
{
    if (Writer) {
        if (WaitForSingleObject(Writer, 0) != WAIT_OBJECT_0)
            return ERROR_TIMEOUT;
        CloseHandle(Writer);
        Writer = NULL;
    }
    Write.Target = *target;
    Write.Raw = raw;
    Write.Error = ERROR_TIMEOUT;
    Writer = CreateThread(NULL, 0, WriteDelayThread, NULL, 0, NULL);
    if (!Writer)
        return FailureCode();
    if (WaitForSingleObject(Writer, UPSOFF_WRITE_WAIT_MS) != WAIT_OBJECT_0)
        return ERROR_TIMEOUT;
    CloseHandle(Writer);
    Writer = NULL;
    return Write.Error;
}

static void LogWritten(INT32 counted)
{
    WCHAR line[LOG_LINE_CAPACITY];
    int position = AppendText(line, 0, LOG_LINE_CAPACITY, L"UPS output off in ");
    position = AppendSigned(line, position, LOG_LINE_CAPACITY, counted);
    position = AppendText(line, position, LOG_LINE_CAPACITY, L" s");
    LONG followers = CountFollowersLoggedIn();
    if (followers > 0) {
        position = AppendText(line, position, LOG_LINE_CAPACITY, L"; followers still logged in: ");
        AppendNumber(line, position, LOG_LINE_CAPACITY, (UINT32)followers);
    }
    WriteLog(line);
}

// Once per UPS open: the user cannot change the UPS in the middle of it. A
// field too small for the setting names the setting, so that the user knows
// a shorter one may do.
static void LogUnfit(const UpsOffTarget* target, int action, INT32 delaySeconds)
{
    if (target->Generation == ToldGeneration)
        return;
    ToldGeneration = target->Generation;
    WCHAR line[LOG_LINE_CAPACITY];
    int position = AppendText(line, 0, LOG_LINE_CAPACITY, L"ERROR - this UPS cannot be told to turn its output off");
    if (action == UPSOFF_SAY_TOO_SMALL) {
        position = AppendText(line, position, LOG_LINE_CAPACITY, L" after ");
        position = AppendSigned(line, position, LOG_LINE_CAPACITY, delaySeconds);
        AppendText(line, position, LOG_LINE_CAPACITY, L" s");
    }
    WriteLog(line);
}

void CommitUpsOff(BOOL sessionEnds, LPARAM endFlags)
{
    if (InterlockedCompareExchange(&Committing, 1, 0) != 0)
        return;
    UpsStatus status;
    CopySnapshot(&status);
    UpsOffTarget target;
    CopyTarget(&target);
    UINT32 raw = 0;
    INT32 counted = 0;
    UpsOffFacts facts;
    facts.DelaySeconds = DelaySetting();
    facts.SessionEnds = sessionEnds;
    facts.EndFlags = endFlags;
    facts.ForcedShutdown = IsForcedShutdownRaised();
    facts.OnBattery = status.Present && status.OnBattery;
    facts.Field = ApplySetting(&target, facts.DelaySeconds, &raw, &counted);
    int action = ChooseUpsOffAction(&facts);
    if (action == UPSOFF_WRITE) {
        DWORD error = WriteDelay(&target, raw);
        if (error)
            WriteLogWithCode(L"ERROR - UPS refused the output-off delay, code ", error);
        else
            LogWritten(counted);
    } else if (action != UPSOFF_NOTHING) {
        LogUnfit(&target, action, facts.DelaySeconds);
    }
    InterlockedExchange(&Committing, 0);
}
