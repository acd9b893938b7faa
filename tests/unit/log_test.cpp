// The event log: line composition, the file it writes, the path it builds from
// LOCALAPPDATA, and two threads appending at once.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "base/log.h"
#include "base/text.h"

namespace {

std::wstring TempFolder(const wchar_t* name)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring folder = std::wstring(base) + name + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), NULL);
    return folder;
}

std::string ReadAll(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string data(GetFileSize(file, NULL), '\0');
    DWORD read = 0;
    ReadFile(file, &data[0], (DWORD)data.size(), &read, NULL);
    CloseHandle(file);
    data.resize(read);
    return data;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Points the log at a fresh file for one test.
struct LogFile {
    std::wstring path;
    explicit LogFile(const wchar_t* name)
    {
        path = TempFolder(L"corvane-log-") + L"\\" + name;
        DeleteFileW(path.c_str());
        AppendText(LogPath, 0, LOG_PATH_CAPACITY, path.c_str());
    }
    ~LogFile()
    {
        LogPath[0] = 0;
        DeleteFileW(path.c_str());
    }
};

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

TEST(LogLine, PadsTwoDigitFieldsAndEndsWithCrLf)
{
    WCHAR line[LOG_LINE_CAPACITY];
    SYSTEMTIME t = Time(2027, 1, 3, 7, 4, 9);
    int length = ComposeLogLine(line, &t, L"Corvane started");
    EXPECT_STREQ(L"2027-01-03 07:04:09  Corvane started\r\n", line);
    EXPECT_EQ(38, length);

    t = Time(2026, 12, 31, 23, 59, 58);
    ComposeLogLine(line, &t, L"x");
    EXPECT_STREQ(L"2026-12-31 23:59:58  x\r\n", line);

    t = Time(999, 10, 10, 0, 0, 0);
    ComposeLogLine(line, &t, L"");
    EXPECT_STREQ(L"999-10-10 00:00:00  \r\n", line);
}

TEST(LogLine, NeverExceeds511Units)
{
    std::wstring message(600, L'm');
    WCHAR line[LOG_LINE_CAPACITY];
    SYSTEMTIME t = Time(2027, 1, 3, 7, 4, 9);
    EXPECT_EQ(511, ComposeLogLine(line, &t, message.c_str()));
    EXPECT_EQ(L'm', line[510]);
    EXPECT_EQ(0, line[511]);
}

TEST(WriteLog, AppendsUtf8LinesWithoutAByteOrderMark)
{
    LogFile log(L"utf8.log");
    WriteLog(L"UPS connected: Caf\u00e9 \u20acPower");
    WriteLog(L"second");
    std::string data = ReadAll(log.path);
    ASSERT_GE(data.size(), 21u);
    EXPECT_NE(0xEF, (unsigned char)data[0]);
    // "YYYY-MM-DD HH:MM:SS  " is 21 bytes before the message.
    size_t first = data.find("\r\n");
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ("UPS connected: Caf\xC3\xA9 \xE2\x82\xACPower", data.substr(21, first - 21));
    EXPECT_EQ("second\r\n", data.substr(data.size() - 8));
    EXPECT_EQ(data[4], '-');
    EXPECT_EQ(data[first + 2 + 19], ' ');
}

TEST(WriteLog, DropsALineTooLongForItsUtf8BufferWhole)
{
    LogFile log(L"long.log");
    WriteLog(L"before");
    // 400 euro signs take 1200 bytes as UTF-8: more than the 1024-byte buffer.
    std::wstring wide(400, L'\u20ac');
    WriteLog(wide.c_str());
    WriteLog(L"after");
    std::string data = ReadAll(log.path);
    EXPECT_EQ(std::string::npos, data.find("\xE2\x82\xAC"));
    EXPECT_NE(std::string::npos, data.find("before\r\n"));
    EXPECT_NE(std::string::npos, data.find("after\r\n"));
}

TEST(WriteLog, DoesNothingWhileLoggingIsOff)
{
    LogPath[0] = 0;
    // An empty path could never be opened anyway; what matters is that the
    // call returns at once, without even a failed open, which would leave
    // its error behind.
    SetLastError(ERROR_INVALID_FUNCTION);
    WriteLog(L"nowhere");
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
}

struct WriterArgs {
    int first;
    int count;
};

DWORD WINAPI WriteNumberedLines(LPVOID parameter)
{
    const WriterArgs* args = (const WriterArgs*)parameter;
    for (int i = 0; i < args->count; i++) {
        WCHAR message[64];
        int position = AppendText(message, 0, 64, L"line ");
        AppendNumber(message, position, 64, (UINT32)(args->first + i));
        WriteLog(message);
    }
    return 0;
}

TEST(WriteLog, TwoThreadsAtFullSpeedLoseNoLine)
{
    LogFile log(L"race.log");
    WriterArgs a = { 0, 1000 };
    WriterArgs b = { 1000, 1000 };
    HANDLE threads[2] = {
        CreateThread(NULL, 0, WriteNumberedLines, &a, 0, NULL),
        CreateThread(NULL, 0, WriteNumberedLines, &b, 0, NULL),
    };
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);

    std::string data = ReadAll(log.path);
    std::vector<int> seen(2000, 0);
    size_t start = 0;
    int lines = 0;
    while (start < data.size()) {
        size_t end = data.find("\r\n", start);
        ASSERT_NE(std::string::npos, end) << "unterminated tail at byte " << start;
        std::string line = data.substr(start, end - start);
        ASSERT_GT(line.size(), 26u);
        ASSERT_EQ("  line ", line.substr(19, 7)) << line;
        int number = std::stoi(line.substr(26));
        ASSERT_GE(number, 0);
        ASSERT_LT(number, 2000);
        seen[number]++;
        lines++;
        start = end + 2;
    }
    EXPECT_EQ(2000, lines);
    for (int i = 0; i < 2000; i++)
        EXPECT_EQ(1, seen[i]) << "line " << i;
}

struct HoldArgs {
    const wchar_t* path;
    DWORD holdMs;
    HANDLE opened;
};

// Holds the log open for writing the way another writer would.
DWORD WINAPI HoldLogOpen(LPVOID parameter)
{
    HoldArgs* args = (HoldArgs*)parameter;
    HANDLE file = CreateFileW(args->path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    SetEvent(args->opened);
    Sleep(args->holdMs);
    CloseHandle(file);
    return 0;
}

void WriteWhileHeld(const LogFile& log, DWORD holdMs, DWORD* elapsedMs)
{
    HoldArgs args = { log.path.c_str(), holdMs, CreateEventW(NULL, TRUE, FALSE, NULL) };
    HANDLE holder = CreateThread(NULL, 0, HoldLogOpen, &args, 0, NULL);
    WaitForSingleObject(args.opened, INFINITE);
    DWORD started = GetTickCount();
    WriteLog(L"waited");
    *elapsedMs = GetTickCount() - started;
    WaitForSingleObject(holder, INFINITE);
    CloseHandle(holder);
    CloseHandle(args.opened);
}

TEST(WriteLog, WaitsForAShortHoldByTheOtherWriter)
{
    LogFile log(L"held.log");
    DWORD elapsed = 0;
    WriteWhileHeld(log, 30, &elapsed);
    EXPECT_NE(std::string::npos, ReadAll(log.path).find("  waited\r\n"));
    EXPECT_GE(elapsed, 20u);
}

TEST(WriteLog, GivesUpWithinTheBoundWhenTheFileStaysLocked)
{
    LogFile log(L"locked.log");
    DWORD elapsed = 0;
    WriteWhileHeld(log, 600, &elapsed);
    EXPECT_EQ(std::string::npos, ReadAll(log.path).find("waited"));
    EXPECT_GE(elapsed, 90u);
    EXPECT_LT(elapsed, 250u);
}

// BuildLogPath reads the process environment; each case sets it first.
struct EnvironmentCase : ::testing::Test {
    void TearDown() override
    {
        SetEnvironmentVariableW(L"LOCALAPPDATA", NULL);
        LogPath[0] = 0;
    }
};

void RemoveLogAndFolders(const std::wstring& root)
{
    DeleteFileW(LogPath);
    RemoveDirectoryW((root + L"\\Quillfen\\Corvane").c_str());
    RemoveDirectoryW((root + L"\\Quillfen").c_str());
}

TEST_F(EnvironmentCase, BuildsThePathAndItsTwoFoldersAndMakesThemAgainWhenRemoved)
{
    std::wstring root = TempFolder(L"corvane-env-");
    SetEnvironmentVariableW(L"LOCALAPPDATA", root.c_str());
    BuildLogPath();
    EXPECT_EQ(root + L"\\Quillfen\\Corvane\\corvane.log", std::wstring(LogPath));
    EXPECT_TRUE(Exists(root + L"\\Quillfen\\Corvane"));
    EXPECT_FALSE(Exists(LogPath));
    WriteLog(L"first");
    EXPECT_TRUE(Exists(LogPath));

    // A user cleans AppData while the program runs: the next line is not lost.
    RemoveLogAndFolders(root);
    ASSERT_FALSE(Exists(root + L"\\Quillfen"));
    WriteLog(L"after the clean-up");
    EXPECT_NE(std::string::npos, ReadAll(LogPath).find("  after the clean-up\r\n"));
    RemoveLogAndFolders(root);
}

TEST_F(EnvironmentCase, UnsetEmptyOrTooLongTurnsLoggingOff)
{
    LogPath[0] = L'x';
    SetEnvironmentVariableW(L"LOCALAPPDATA", NULL);
    BuildLogPath();
    EXPECT_EQ(0, LogPath[0]);

    LogPath[0] = L'x';
    SetEnvironmentVariableW(L"LOCALAPPDATA", L"");
    BuildLogPath();
    EXPECT_EQ(0, LogPath[0]);

    for (size_t length : { 260u, 261u, 400u }) {
        std::wstring value = L"C:\\" + std::wstring(length - 3, L'a');
        LogPath[0] = L'x';
        SetEnvironmentVariableW(L"LOCALAPPDATA", value.c_str());
        BuildLogPath();
        EXPECT_EQ(0, LogPath[0]) << length;
    }
}

TEST_F(EnvironmentCase, A259UnitValueLeavesNoRoomForTheFileName)
{
    std::wstring value = L"C:\\" + std::wstring(256, L'b');
    SetEnvironmentVariableW(L"LOCALAPPDATA", value.c_str());
    BuildLogPath();
    EXPECT_EQ(value, std::wstring(LogPath));
    EXPECT_EQ(259, TextLength(LogPath));
}

TEST_F(EnvironmentCase, ALongValueCutsTheNamesAt259Units)
{
    std::wstring root = TempFolder(L"c");
    std::wstring value = root + L"\\" + std::wstring(259 - root.size() - 1 - 12, L'd');
    SetEnvironmentVariableW(L"LOCALAPPDATA", value.c_str());
    BuildLogPath();
    EXPECT_EQ(259, TextLength(LogPath));
    EXPECT_EQ(value + L"\\Quillfen\\Co", std::wstring(LogPath));
}

}  // namespace
