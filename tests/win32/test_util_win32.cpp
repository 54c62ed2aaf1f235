// The file helpers of test_util.h on Windows, through the Win32 API. The child-process helpers
// drive the terminal program and exist on POSIX only.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "test_util.h"

namespace {

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": Windows error " + std::to_string(GetLastError()));
}

void removeTree(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // read-only files can't be deleted
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const std::string& name : listNames(path)) removeTree(path + "\\" + name);
        RemoveDirectoryA(path.c_str());
    } else {
        DeleteFileA(path.c_str());
    }
}

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDifference = 116444736000000000LL;

}  // namespace

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    char base[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof base, base);
    check(length > 0 && length < sizeof base, "GetTempPathA");
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = std::string(base) + "zem-test-" +
                                      std::to_string(GetCurrentProcessId()) + "-" +
                                      std::to_string(counter++);
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            path = candidate;
            return;
        }
        check(GetLastError() == ERROR_ALREADY_EXISTS, "CreateDirectoryA " + candidate);
    }
    throw std::runtime_error("no free temporary folder name");
}

TempDir::~TempDir() { removeTree(path); }

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void makeDirs(const std::string& path) {
    // Skip the drive ("C:\") so that only real folders are created.
    size_t from = path.size() > 2 && path[1] == ':' ? 3 : 1;
    for (size_t sep = path.find_first_of("\\/", from);; sep = path.find_first_of("\\/", sep + 1)) {
        const std::string part = path.substr(0, sep);
        if (!CreateDirectoryA(part.c_str(), nullptr)) {
            check(GetLastError() == ERROR_ALREADY_EXISTS, "CreateDirectoryA " + part);
        }
        if (sep == std::string::npos) break;
    }
}

void setModifiedTime(const std::string& path, int64_t utcSeconds) {
    const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    check(file != INVALID_HANDLE_VALUE, "CreateFileA " + path);
    const uint64_t ticks = static_cast<uint64_t>(utcSeconds * 10000000 + kEpochDifference);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    const bool ok = SetFileTime(file, nullptr, nullptr, &time) != 0;
    CloseHandle(file);
    check(ok, "SetFileTime " + path);
}

std::vector<std::string> listNames(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    const HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

int64_t currentUtcOffset() {
    // From the zone's rules, independently of the FileTimeToLocalFileTime that the scan uses.
    TIME_ZONE_INFORMATION zone;
    const DWORD which = GetTimeZoneInformation(&zone);
    check(which != TIME_ZONE_ID_INVALID, "GetTimeZoneInformation");
    LONG bias = zone.Bias;
    if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
    if (which == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
    return -static_cast<int64_t>(bias) * 60;
}
