// The event log: one time-stamped UTF-8 line per notable event, appended to
// %LOCALAPPDATA%\Quillfen\Corvane\corvane.log. The path is built once at start,
// before any other thread exists; WriteLog may then be called from any thread.
#pragma once
#include <windows.h>

enum { LOG_PATH_CAPACITY = 260, LOG_LINE_CAPACITY = 512, LOG_BYTES_CAPACITY = 1024 };

// Empty (first unit 0) when logging is off for the whole run.
extern WCHAR LogPath[LOG_PATH_CAPACITY];

void BuildLogPath();
void WriteLog(const WCHAR* message);

// The message followed by a number in decimal, for "ERROR - ..., code N".
void WriteLogWithCode(const WCHAR* message, UINT32 code);

// "YYYY-MM-DD HH:MM:SS  message\r\n" for the given local time, into a buffer of
// LOG_LINE_CAPACITY units. Returns the length without the terminator.
int ComposeLogLine(WCHAR* line, const SYSTEMTIME* time, const WCHAR* message);
