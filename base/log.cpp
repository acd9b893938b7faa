// The event log. LogPath is written once by BuildLogPath on the start-up thread
// and only read afterwards; WriteLog keeps nothing between lines (one open,
// append and close per line), so both threads may call it without a lock.
#include "base/log.h"
#include "base/text.h"

WCHAR LogPath[LOG_PATH_CAPACITY];

// How long a writer keeps retrying while the other thread holds the file.
// The user-interface thread logs too, so this must stay short.
static const DWORD SHARING_RETRY_MS = 100;

// Where the two folders end in LogPath (units), so that a line can make them
// again; written with LogPath, before any other thread exists.
static int LogFolderEnds[2];

// The folders above the log, "\Quillfen" and then "\Corvane"; an existing
// folder is the normal case, so the results are not looked at.
static void CreateLogFolders()
{
    WCHAR folder[LOG_PATH_CAPACITY];
    for (int end : LogFolderEnds) {
        ByteCopy(folder, LogPath, (UINT64)end * sizeof(WCHAR));
        folder[end] = 0;
        CreateDirectoryW(folder, NULL);
    }
}

void BuildLogPath()
{
    WCHAR folder[LOG_PATH_CAPACITY];
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, LOG_PATH_CAPACITY);
    // Missing, empty, failed, or 260 units and more (the call then answers the
    // size it would need): logging stays off.
    if (length - 1 > LOG_PATH_CAPACITY - 2) {
        LogPath[0] = 0;
        return;
    }
    int position = AppendText(LogPath, 0, LOG_PATH_CAPACITY, folder);
    LogFolderEnds[0] = position = AppendText(LogPath, position, LOG_PATH_CAPACITY, L"\\Quillfen");
    LogFolderEnds[1] = position = AppendText(LogPath, position, LOG_PATH_CAPACITY, L"\\Corvane");
    AppendText(LogPath, position, LOG_PATH_CAPACITY, L"\\corvane.log");
    CreateLogFolders();
}

static int AppendTwoDigits(WCHAR* line, int position, const WCHAR* separator, WORD value)
{
    position = AppendText(line, position, LOG_LINE_CAPACITY, separator);
    if (value < 10 && position < LOG_LINE_CAPACITY - 1)
        position = AppendText(line, position, LOG_LINE_CAPACITY, L"0");
    return AppendNumber(line, position, LOG_LINE_CAPACITY, value);
}

int ComposeLogLine(WCHAR* line, const SYSTEMTIME* time, const WCHAR* message)
{
    int position = AppendNumber(line, 0, LOG_LINE_CAPACITY, time->wYear);
    position = AppendTwoDigits(line, position, L"-", time->wMonth);
    position = AppendTwoDigits(line, position, L"-", time->wDay);
    position = AppendTwoDigits(line, position, L" ", time->wHour);
    position = AppendTwoDigits(line, position, L":", time->wMinute);
    position = AppendTwoDigits(line, position, L":", time->wSecond);
    position = AppendText(line, position, LOG_LINE_CAPACITY, L"  ");
    position = AppendText(line, position, LOG_LINE_CAPACITY, message);
    return AppendText(line, position, LOG_LINE_CAPACITY, L"\r\n");
}

// The share mode lets readers in but not a second writer, so when both of our
// threads log at the same instant one open meets a sharing violation. That
// writer waits briefly for the other's single write to finish instead of
// losing its line. A user cleaning AppData may take our folders away while we
// run; the line that finds them gone makes them again, once, rather than every
// later line being lost.
static HANDLE OpenLogForAppend()
{
    DWORD started = GetTickCount();
    BOOL foldersMade = FALSE;
    for (;;) {
        HANDLE file = CreateFileW(LogPath, FILE_APPEND_DATA, FILE_SHARE_READ, NULL,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND && !foldersMade) {
            CreateLogFolders();
            foldersMade = TRUE;
            continue;
        }
        if (error != ERROR_SHARING_VIOLATION)
            return INVALID_HANDLE_VALUE;
        if (GetTickCount() - started >= SHARING_RETRY_MS)
            return INVALID_HANDLE_VALUE;
        Sleep(1);
    }
}

void WriteLog(const WCHAR* message)
{
    if (LogPath[0] == 0)
        return;

    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR line[LOG_LINE_CAPACITY];
    int length = ComposeLogLine(line, &now, message);

    // A line whose UTF-8 form does not fit is dropped whole, never cut.
    char bytes[LOG_BYTES_CAPACITY];
    int count = WideCharToMultiByte(CP_UTF8, 0, line, length, bytes, LOG_BYTES_CAPACITY, NULL, NULL);
    if (count <= 0)
        return;

    HANDLE file = OpenLogForAppend();
    if (file == INVALID_HANDLE_VALUE)
        return;
    SetFilePointer(file, 0, NULL, FILE_END);
    DWORD written = 0;
    WriteFile(file, bytes, (DWORD)count, &written, NULL);
    CloseHandle(file);
}

void WriteLogWithCode(const WCHAR* message, UINT32 code)
{
    WCHAR line[LOG_LINE_CAPACITY];
    int position = AppendText(line, 0, LOG_LINE_CAPACITY, message);
    AppendNumber(line, position, LOG_LINE_CAPACITY, code);
    WriteLog(line);
}
