#pragma once
// Reading an archive for extraction and writing its files out: one code path for `zem extract`
// and for the ZEM Builder's unpacking. Every failure throws FatalError with a text that names
// the operation and the path.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "format/reader.h"
#include "platform/extract_fs.h"
#include "platform/progress.h"

struct LoadedArchive {
    std::string path;
    std::unique_ptr<ArchiveSource> source;
    std::vector<ArchiveRecord> records;
};

// Reads and checks the structure of the archive behind archive.source (reader.h). A fault throws
// InputFault naming archive.path ("PATH: record 3: ...").
void readArchiveRecords(LoadedArchive& archive);

// Opens the archive and reads and checks its structure. Throws FatalError when it can't be
// opened, InputFault when its structure is unsound.
void readArchiveFile(const std::string& path, LoadedArchive& archive);

// Checks the stored names as this platform's extraction needs them; the first it refuses throws
// InputFault naming archive.path ("PATH: record N: name ...: why").
void checkArchiveNames(const LoadedArchive& archive);

// A stored local calendar time as the seconds since 1970 UTC that extraction gives the file.
int64_t utcSecondsOf(const CalendarTime& stored);

// The size of the pieces a stored file is read in: bounded memory, whatever the file's size.
constexpr size_t kStoredPieceSize = 1 << 20;

// Reads the stored file `r` in order, in pieces of at most buffer.size() bytes, and hands each
// to onPiece with the position of its first byte in the file. Stops, returning false, when
// onPiece returns false. A failed read throws FatalError naming the archive.
bool forEachStoredPiece(
    LoadedArchive& archive, const ArchiveRecord& r, std::vector<char>& buffer,
    const std::function<bool(const char* data, size_t size, uint64_t at)>& onPiece);

// Keeps the records that one of the names selects (name_pattern.h: a pattern, matching a stored
// name or a folder it lies in), in archive order; no names keep every record. A name that selects
// nothing is an error (FatalError), before anything is written, as tar and unzip report a member
// they can't find.
void selectRecords(LoadedArchive& archive, const std::vector<std::string>& names);

// Takes the first `count` folders off every stored name, as tar's --strip-components does; a file
// that lies in fewer folders is left out. The shorter names are checked again, as two of them may
// now be the same: a problem throws InputFault.
void stripComponents(LoadedArchive& archive, int count);

// Writes the stored files' bytes one after the other to standard output, raw (no text-mode
// translation), in archive order (zem cat). A failed write throws FatalError.
void writeToStandardOutput(LoadedArchive& archive);

// The files and bytes of the records, as a progress display starts them.
WriteProgress progressOf(const std::vector<ArchiveRecord>& records);

// Looks at everything each name will pass through below the destination (findDestination,
// extract_fs.h) before anything is written, so a refusal leaves it as it was; without `replace`,
// an existing file is refused too. With `kept` (zem extract -k), a name where anything stands
// already, or whose way something other than a folder blocks, is passed over instead of refused:
// its record's index goes to `kept`, in order. The writes re-check as they go.
void checkDestination(const Destination& dest, const LoadedArchive& archive, bool replace,
                      std::vector<size_t>* kept = nullptr);

// Takes the records at the indexes `kept` (in order, as checkDestination gives them) out of the
// archive's records, which then hold only those to write; returns the kept ones' names, in order.
std::vector<std::string> takeOutKept(LoadedArchive& archive, const std::vector<size_t>& kept);

// The folder an archive extracts into by default: its path without ".zem" (any letter case),
// beside it. When the name gives no such folder, throws InputFault saying why ("its name doesn't
// end in .zem").
std::string defaultDestination(const std::string& archivePath);

// Whether the path's name ends in ".zem", in any letter case.
bool hasArchiveSuffix(const std::string& path);

// Writes every stored file below the destination, which is created when missing, each atomically
// and with its stored time, and puts none at its name before its data is on disk. Progress is
// reported as the writer reports it, and progress->update may throw Cancelled: the file
// being written is then dropped, and those written whole before it are put in place and stay.
// Warnings about files already in place go to `warn`.
void extractArchive(LoadedArchive& archive, Destination& dest, bool replace,
                    ProgressDisplay* progress, const std::function<void(const std::string&)>& warn);
