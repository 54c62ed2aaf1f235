// The helpers of test_util.h on Windows, through the Win32 API, with names in the system code page
// as the programs use them.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "test_util.h"

namespace {

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": Windows error " + std::to_string(GetLastError()));
}

// By the "\\?\" form of the full path, so that trees past MAX_PATH go too. A link is removed, never
// followed.
void removeTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // read-only files can't be deleted
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data;
        const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        std::vector<std::wstring> names;
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name != L"." && name != L"..") names.push_back(name);
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        for (const std::wstring& name : names) removeTree(path + L"\\" + name);
        RemoveDirectoryW(path.c_str());
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDifference = 116444736000000000LL;

// A handle, closed when it goes.
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

HANDLE openForAttributes(const std::string& path, DWORD access) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

// _putenv_s with an empty value removes the variable.
ScopedVariable::ScopedVariable(const char* variable, const char* value) : name(variable) {
    if (const char* current = std::getenv(variable)) {
        hadOld = true;
        old = current;
    }
    check(_putenv_s(variable, value ? value : "") == 0, "_putenv_s");
}

ScopedVariable::~ScopedVariable() { _putenv_s(name.c_str(), hadOld ? old.c_str() : ""); }

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

TempDir::~TempDir() { removeTree(L"\\\\?\\" + std::wstring(path.begin(), path.end())); }

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
    const Handle file(openForAttributes(path, FILE_WRITE_ATTRIBUTES));
    check(file.h != INVALID_HANDLE_VALUE, "CreateFileA " + path);
    const uint64_t ticks = static_cast<uint64_t>(utcSeconds * 10000000 + kEpochDifference);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    check(SetFileTime(file.h, nullptr, nullptr, &time) != 0, "SetFileTime " + path);
}

int64_t modifiedTime(const std::string& path) {
    const Handle file(openForAttributes(path, FILE_READ_ATTRIBUTES));
    check(file.h != INVALID_HANDLE_VALUE, "CreateFileA " + path);
    FILETIME written{};
    check(GetFileTime(file.h, nullptr, nullptr, &written) != 0, "GetFileTime " + path);
    const uint64_t ticks =
        (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000) - kEpochDifference / 10000000;
}

void setFileSize(const std::string& path, uint64_t size) {
    const Handle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    check(file.h != INVALID_HANDLE_VALUE, "CreateFileA " + path);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    check(SetFilePointerEx(file.h, end, nullptr, FILE_BEGIN) && SetEndOfFile(file.h),
          "SetEndOfFile " + path);
}

bool exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
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

namespace {

// An inheritable handle on a file that a child reads its input from or writes a stream to.
HANDLE inheritable(const std::string& path, bool forWriting) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE h = CreateFileA(
        path.c_str(), forWriting ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ, &inherit,
        forWriting ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    check(h != INVALID_HANDLE_VALUE, "CreateFileA " + path);
    return h;
}

}  // namespace

// The streams go through files rather than pipes: a child that fills one pipe while the test
// waits for its end would never end.
ChildResult runExecutable(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& input) {
    std::string commandLine = "\"" + exe + "\"";
    for (const std::string& arg : args) commandLine += " \"" + arg + "\"";  // no quotes inside
    const TempDir streams;
    writeFile(streams / "in", input);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    const Handle in(inheritable(streams / "in", false));
    const Handle out(inheritable(streams / "out", true));
    const Handle err(inheritable(streams / "err", true));
    startup.hStdInput = in.h;
    startup.hStdOutput = out.h;
    startup.hStdError = err.h;
    PROCESS_INFORMATION process{};
    check(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                         &startup, &process) != 0,
          "CreateProcessA " + commandLine);
    const Handle thread(process.hThread);
    const Handle child(process.hProcess);
    const DWORD waited = WaitForSingleObject(child.h, 60000);
    if (waited != WAIT_OBJECT_0) TerminateProcess(child.h, 99);
    DWORD exitCode = 0;
    check(GetExitCodeProcess(child.h, &exitCode) != 0, "GetExitCodeProcess " + exe);
    if (waited != WAIT_OBJECT_0) throw std::runtime_error(exe + " did not end within a minute");
    ChildResult result;
    result.exitCode = static_cast<int>(exitCode);
    result.out = readFile(streams / "out");
    result.err = readFile(streams / "err");
    return result;
}
