#pragma once
// The one owner of what the system hands out to be closed: a POSIX descriptor or a Windows handle,
// both held as an intptr_t so that a header needs no system header, and on Windows a folder search.
// Each platform defines the closing in its own file (unique_handle_posix.cpp,
// unique_handle_win32.cpp). Dropping the object (destructor, reset) ignores a failing close and
// leaves errno or the last Win32 error as it was, for the failure being reported meanwhile; an
// owner that wrote through the object closes it with close() first and reports what that says.

#include <cstdint>
#include <utility>

// A descriptor, or a handle of a file, folder or process; -1 (INVALID_HANDLE_VALUE) is none, and
// on Windows a null handle is none too.
struct SystemHandle {
    static constexpr intptr_t kNone = -1;
    static bool valid(intptr_t native);
    static bool close(intptr_t native);  // false with errno or the Win32 error
    static void discard(intptr_t native);
};

// Windows: FindFirstFileW's handle, closed with FindClose.
struct SearchHandle {
    static constexpr intptr_t kNone = -1;
    static bool valid(intptr_t native);
    static bool close(intptr_t native);
    static void discard(intptr_t native);
};

template <typename Kind>
class Unique {
public:
    Unique() = default;
    explicit Unique(intptr_t native) : native_(native) {}
    Unique(Unique&& other) noexcept : native_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    intptr_t get() const { return native_; }
    // The POSIX descriptor.
    int fd() const { return static_cast<int>(native_); }
    bool valid() const { return Kind::valid(native_); }
    intptr_t release() { return std::exchange(native_, Kind::kNone); }
    void reset(intptr_t native = Kind::kNone) {
        const intptr_t old = std::exchange(native_, native);
        if (Kind::valid(old)) Kind::discard(old);
    }
    // Closes now; false when closing reports a failure. Nothing held is no failure.
    bool close() {
        const intptr_t old = release();
        return !Kind::valid(old) || Kind::close(old);
    }

private:
    intptr_t native_ = Kind::kNone;
};

using UniqueHandle = Unique<SystemHandle>;
using UniqueSearch = Unique<SearchHandle>;
