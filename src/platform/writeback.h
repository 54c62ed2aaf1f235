#pragma once
// Writeback pacing for the archive: as the file grows, the system is asked to start writing its
// newest bytes to disk without waiting, so the disk works while the copy goes on and the commit's
// sync waits only for the last pieces. Only a hint: durability still comes from the commit. Each
// platform fills this in its own file.

#include <cstdint>

struct Writeback {
    uint64_t started = 0;   // writeback has been started for the bytes before this
    bool available = true;  // false once the file system turned the hint down
};

// Tells that the file's first `written` bytes have been handed to the system. False for a
// failure that is the file's write error (lastSystemError tells which).
bool paceWriteback(Writeback& writeback, intptr_t file, uint64_t written);
