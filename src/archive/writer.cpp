#include "archive/writer.h"

#include <algorithm>
#include <memory>

#include "archive/bytes.h"
#include "archive/fatal_error.h"
#include "archive/input_reader.h"
#include "archive/output_file.h"
#include "scan/file_system.h"
#include "scan/local_time.h"

namespace {

constexpr size_t kHeaderSize = 28;
constexpr size_t kRecordFixedSize = 20;
constexpr uint64_t kMaxArchiveEnd = 0xFFFFFFFFu;
constexpr uint32_t kPlaceholder = 0xFFFFFFFFu;

std::string relativePart(const std::string& path, size_t rootLength) {
    return path.size() > rootLength ? path.substr(rootLength + 1) : std::string();
}

// Eight time bytes: year (low byte first), month, day, hour, minute, second, 0. A file without a
// usable time gets eight zero bytes.
void writeTime(ByteBuffer& out, int64_t modifiedTime) {
    if (modifiedTime == kNoTime) {
        out.insert(out.end(), 8, 0);
        return;
    }
    const CalendarTime t = calendarFromSeconds(modifiedTime);
    writeU16(out, static_cast<uint16_t>(t.year));
    writeU8(out, static_cast<uint8_t>(t.month));
    writeU8(out, static_cast<uint8_t>(t.day));
    writeU8(out, static_cast<uint8_t>(t.hour));
    writeU8(out, static_cast<uint8_t>(t.minute));
    writeU8(out, static_cast<uint8_t>(t.second));
    writeU8(out, 0);
}

}  // namespace

std::string storedName(const std::string& path, size_t rootLength) {
    std::string name = relativePart(path, rootLength);
    std::replace(name.begin(), name.end(), nativeSeparator(), '\\');
    return name;
}

void checkArchivable(const FileList& fileList, size_t rootLength) {
    uint64_t end = kHeaderSize;
    for (const FileEntry& entry : fileList) {
        if (entry.size > 0xFFFFFFFFu) {
            fatalError("File \"" + entry.path +
                       "\" is 4 GiB or larger, more than a .zem file can hold");
        }
        if (nativeSeparator() != '\\' &&
            relativePart(entry.path, rootLength).find('\\') != std::string::npos) {
            fatalError("File name \"" + entry.path +
                       "\" holds a backslash, which a .zem file would read back as a subfolder");
        }
        end += entry.size + 4 + kRecordFixedSize + relativePart(entry.path, rootLength).size() + 1;
    }
    if (end > kMaxArchiveEnd) {
        fatalError("The files add up to " + std::to_string(end) +
                   " bytes of archive, more than a .zem file can hold (4 GiB)");
    }
}

void writeArchive(const std::string& archivePath, FileList& fileList, size_t rootLength,
                  ProgressDisplay* progress) {
    checkArchivable(fileList, rootLength);
    OutputFile out;
    createOutputFile(out, archivePath);
    const std::unique_ptr<InputReader> input = openInputReader(fileList);

    // Header, with the two values that depend on what follows as placeholders until the end.
    ByteBuffer header;
    writeU32(header, 0);
    writeU32(header, 0);
    writeU32(header, 0);
    writeU32(header, static_cast<uint32_t>(fileList.size()));
    writeU32(header, kPlaceholder);  // recordsLength
    writeU32(header, kPlaceholder);  // indexOffset
    writeU32(header, 8);
    writeOutput(out, header.data(), header.size());

    WriteProgress done;
    done.fileCount = fileList.size();
    for (const FileEntry& entry : fileList) done.byteCount += entry.size;
    // A large file moves the display at the end of each piece but its last (the file's own report
    // follows), and a cancel there stops it mid-file.
    const FileEntry* current = nullptr;
    uint64_t previous = 0;  // of the current file, when `copied` last heard of it
    FileCopied copied;
    if (progress) {
        progress->update(done);
        copied = [&](uint64_t copiedOfFile) {
            if (copiedOfFile < current->size &&
                copiedOfFile / kProgressPiece != previous / kProgressPiece) {
                WriteProgress partial = done;
                partial.bytesDone += copiedOfFile;
                progress->update(partial);
            }
            previous = copiedOfFile;
        };
    }
    for (FileEntry& entry : fileList) {
        entry.dataOffset = static_cast<uint32_t>(out.size);
        current = &entry;
        previous = 0;
        input->appendNext(out, copied);
        ++done.filesDone;
        done.bytesDone += entry.size;
        if (progress) progress->update(done);
    }

    // Index and records are built in memory and written in one piece. Index slots count from the
    // start of the record block.
    const uint32_t indexOffset = static_cast<uint32_t>(out.size);
    ByteBuffer tail;
    for (size_t i = 0; i < fileList.size(); ++i) writeU32(tail, kPlaceholder);
    const size_t recordsStart = tail.size();
    for (size_t i = 0; i < fileList.size(); ++i) {
        const FileEntry& entry = fileList[i];
        patchU32(tail, 4 * i, static_cast<uint32_t>(tail.size() - recordsStart));
        writeU32(tail, entry.dataOffset);
        writeU32(tail, static_cast<uint32_t>(entry.size));
        writeU32(tail, static_cast<uint32_t>(entry.size));
        writeTime(tail, entry.modifiedTime);
        writeBytes(tail, storedName(entry.path, rootLength));
        writeU8(tail, 0);
    }
    writeOutput(out, tail.data(), tail.size());

    ByteBuffer patch;
    writeU32(patch, static_cast<uint32_t>(tail.size() - recordsStart));  // recordsLength
    writeU32(patch, indexOffset);
    writeOutputAt(out, 16, patch.data(), patch.size());

    commitOutput(out);
}
