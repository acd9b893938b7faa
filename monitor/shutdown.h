// The shutdown controller: one outage record (what is armed, how, since
// when, what holds it back, whether the followers are told FSD) and the
// moves between its states, listed once at the top of shutdown.cpp. The
// monitor thread arms, withdraws on the mains' return or a resume and says
// what it sees of the UPS; the user-interface thread aborts, withdraws a
// hibernation at a suspend or at exit and shows the state; a countdown
// thread of the controller's own hibernates once the grace is over; the
// network server reads FSD. The record is read and moved only under its
// lock, and nothing but the clock is read while the lock is held.
#pragma once
#include <windows.h>
#include <powrprof.h>

enum {
    SHUTDOWN_REASON_IMMINENT = 1,
    SHUTDOWN_REASON_BELOW_LIMIT = 2,
    SHUTDOWN_REASON_RUNTIME = 3,
    SHUTDOWN_REASON_CHARGE = 4,
    // The least urgent: a reading the user chose to ride out still holds
    // when the UPS goes, and a reading that comes back arms again.
    SHUTDOWN_REASON_UPS_LOST = 5,
};

// How long a UPS last seen on battery may stay unseen before that arms.
enum { UPS_LOST_ARM_MS = 15000 };

enum OutageState {
    OUTAGE_QUIET,
    OUTAGE_ARMED,
    OUTAGE_WITHDRAWING,
    OUTAGE_HIBERNATING,
};

struct OutageRecord {
    int State;            // an OUTAGE_ state
    int Action;           // SHUTDOWN_ACTION_ of the armed period
    int Reason;           // of the latest arming
    INT32 GraceSeconds;   // of the armed period
    DWORD ArmedTick;
    int HeldReason;       // aborted or hibernated in this outage: only a lower one arms; 0: none
    BOOL PowerOffOnly;    // a hibernation failed in this outage
    BOOL Requested;       // Windows holds a power-off that Corvane asked for
    BOOL Fsd;             // armed in this outage: the followers shut down
    BOOL OnBattery;       // the UPS was last seen on battery
    BOOL Missing;         // ...and has not been seen since MissingTick
    DWORD MissingTick;
    LONG Armings;         // since start; also names the armed period
    LONG Refusals;        // requests refused (or no privilege) since start
};
// The controller's own; tests set it directly while no other thread runs.
extern OutageRecord Outage;

// Whether the record is in a state the table allows; for the tests.
BOOL IsOutageConsistent(const OutageRecord* outage);

// Monitor thread.
void ArmShutdown(int reason);
void CancelShutdownOnMains();
// After a sleep or hibernation: whatever was armed is withdrawn, and the
// outage ends.
void ForgetShutdownAfterResume();
// Every pass, before its decision: whether the UPS was seen, and on battery.
void NoteUpsSighting(BOOL present, BOOL onBattery);
// Milliseconds until a UPS lost while on battery is due to arm (0 once it
// is), INFINITE while none is lost.
DWORD UpsLostDueInMs();

// User-interface thread.
BOOL IsShutdownArmed();
void AbortShutdownByUser();
// The computer is going to sleep: a hibernation's grace would go on
// counting through it and end the moment it wakes.
void CancelHibernationOnSuspend();
// Corvane stops: an armed hibernation goes with it, and the log says so.
void CancelHibernationOnStop();

// Hibernation has no grace period of its own in Windows: the controller
// counts it from the arming, on a countdown thread of its own that the
// start-up starts once StopEvent exists, and that ends with it.
void StartShutdownCountdown();
// Milliseconds until an armed hibernation is due (0 once it is), INFINITE
// when none is armed.
DWORD HibernationDueInMs();
// Asks Windows to hibernate once the armed hibernation is due; when that
// fails, powers off at once instead, and for the rest of the outage.
void HibernateWhenDue();

// Any thread: whether a shutdown was armed in this outage (the followers'
// FSD).
BOOL IsForcedShutdownRaised();

// What the interface needs to tell the user: counts of armings and of
// refused requests since start, the reason and grace of the latest arming,
// whether a shutdown is armed now, and whether the UPS was last seen on
// battery.
struct ShutdownEvents {
    LONG Armings;
    LONG Refusals;
    LONG Reason;
    BOOL Armed;
    INT32 GraceSeconds;
    BOOL LastSeenOnBattery;
};
ShutdownEvents ReadShutdownEvents();

// The text naming a reason; "battery critical" for anything outside 1..5.
const WCHAR* ShutdownReasonText(int reason);

// The system calls the controller makes, in one table so that a test can
// stand in for them. Defaults to the real advapi32/kernel32 functions; the
// two powrprof.dll calls are null until the first hibernation arming loads
// them from the system folder.
struct ShutdownSystemCalls {
    BOOL (WINAPI* OpenProcessToken)(HANDLE process, DWORD access, HANDLE* token);
    BOOL (WINAPI* LookupPrivilegeValueW)(LPCWSTR system, LPCWSTR name, LUID* luid);
    BOOL (WINAPI* AdjustTokenPrivileges)(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* state,
                                         DWORD bytes, TOKEN_PRIVILEGES* previous, DWORD* returnBytes);
    DWORD (WINAPI* InitiateShutdownW)(LPWSTR machine, LPWSTR message, DWORD graceSeconds,
                                      DWORD flags, DWORD reason);
    BOOL (WINAPI* AbortSystemShutdownW)(LPWSTR machine);
    DWORD (WINAPI* GetTickCount)();
    BOOLEAN (WINAPI* GetPwrCapabilities)(SYSTEM_POWER_CAPABILITIES* capabilities);
    BOOLEAN (WINAPI* SetSuspendState)(BOOLEAN hibernate, BOOLEAN force, BOOLEAN wakeEventsDisabled);
};
extern ShutdownSystemCalls ShutdownCalls;
