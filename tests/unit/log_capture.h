// Points the event log at a fresh temporary file for the life of one test and
// reads back the messages written to it, without their time stamps.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "base/log.h"
#include "base/text.h"

class LogCapture {
public:
    LogCapture()
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"corvane-monitor-" + std::to_wstring(GetCurrentProcessId()) + L".log";
        DeleteFileW(path_.c_str());
        LogPath[0] = 0;
        AppendText(LogPath, 0, LOG_PATH_CAPACITY, path_.c_str());
    }
    ~LogCapture()
    {
        LogPath[0] = 0;
        DeleteFileW(path_.c_str());
    }

    // Each line's message ("YYYY-MM-DD HH:MM:SS  " and "\r\n" removed), as UTF-8.
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> out;
        HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return out;
        std::string data(GetFileSize(file, NULL), '\0');
        DWORD read = 0;
        if (!data.empty())
            ReadFile(file, &data[0], (DWORD)data.size(), &read, NULL);
        CloseHandle(file);
        data.resize(read);
        size_t start = 0;
        while (start < data.size()) {
            size_t end = data.find("\r\n", start);
            if (end == std::string::npos)
                end = data.size();
            std::string line = data.substr(start, end - start);
            out.push_back(line.size() >= 21 ? line.substr(21) : line);
            start = end + 2;
        }
        return out;
    }

private:
    std::wstring path_;
};
