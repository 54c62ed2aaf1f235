#include "ops/writer.h"

#include <cstring>
#include <memory>
#include <utility>

#include "common/fatal_error.h"
#include "format/format.h"
#include "platform/input_reader.h"
#include "platform/messages.h"
#include "platform/output_file.h"
#include "platform/output_target.h"

namespace {

constexpr uint64_t kMaxArchiveEnd = 0xFFFFFFFFu;

// The length of the file's record: its fixed part and its stored name with the NUL.
uint32_t recordLength(const FileEntry& entry) {
    return kRecordFixedSize + static_cast<uint32_t>(strlen(entry.relative)) + 1;
}

// The header: each file's data begin where the previous file's end, from the end of the header,
// and the index and the records follow the data, so the list alone fixes every field.
ByteBuffer headerOf(const FileList& fileList) {
    ArchiveHeader header;
    header.fileCount = static_cast<uint32_t>(fileList.size());
    uint32_t dataEnd = kHeaderSize;
    for (const FileEntry& entry : fileList) {
        header.recordsLength += recordLength(entry);
        dataEnd += static_cast<uint32_t>(entry.size);
    }
    header.indexOffset = dataEnd;
    ByteBuffer bytes;
    encodeHeader(bytes, header);
    return bytes;
}

// Appends the index and the records after the data, made from the list piece by piece rather
// than held whole: for a million files they would take tens of MiB.
void writeIndexAndRecords(OutputFile& out, const FileList& fileList) {
    constexpr size_t kPiece = 64 << 10;
    ByteBuffer piece;
    const auto flushAt = [&](size_t size) {
        if (piece.size() < size) return;
        writeOutput(out, piece.data(), piece.size());
        piece.clear();
    };
    uint32_t recordAt = 0;
    for (const FileEntry& entry : fileList) {
        writeU32(piece, recordAt);
        recordAt += recordLength(entry);
        flushAt(kPiece);
    }
    uint32_t dataOffset = kHeaderSize;
    std::string name;
    for (const FileEntry& entry : fileList) {
        const CalendarTime time = entry.modifiedTime == kNoTime
                                      ? CalendarTime{}
                                      : calendarFromSeconds(entry.modifiedTime);
        name = storedNameOf(entry);
        encodeRecord(piece, dataOffset, static_cast<uint32_t>(entry.size), time, name);
        dataOffset += static_cast<uint32_t>(entry.size);
        flushAt(kPiece);
    }
    flushAt(1);
}

}  // namespace

void checkArchivable(const FileList& fileList) {
    uint64_t end = kHeaderSize;
    for (const FileEntry& entry : fileList) {
        if (entry.size > 0xFFFFFFFFu) {
            fatalError(fileTooLargeText(fileList.pathOf(entry)));
        }
        end += entry.size + kIndexSlotSize + recordLength(entry);
    }
    if (end > kMaxArchiveEnd) {
        fatalError(archiveTooLargeText(end));
    }
}

namespace {

// Everything after the output is open: the header, each file's data, the index and records.
std::string writeInto(OutputFile& out, const ByteBuffer& header, const FileList& fileList,
                      ProgressDisplay* progress) {
    const std::unique_ptr<InputReader> input = openInputReader(fileList);
    writeOutput(out, header.data(), header.size());

    uint64_t byteCount = 0;
    for (const FileEntry& entry : fileList) byteCount += entry.size;
    // A large file moves the display at the end of each piece but its last, and a cancel there
    // stops it mid-file.
    ProgressCount count;
    startProgress(count, progress, fileList.size(), byteCount);
    const FileEntry* current = nullptr;
    FileCopied copied;
    if (progress) {
        copied = [&](uint64_t copiedOfFile) { progressWithin(count, copiedOfFile, current->size); };
    }
    for (const FileEntry& entry : fileList) {
        current = &entry;
        input->appendNext(out, copied);
        progressFileDone(count, entry.size);
    }

    writeIndexAndRecords(out, fileList);
    return commitOutput(out);
}

}  // namespace

std::string writeArchive(const std::string& archivePath, const FileList& fileList,
                         ProgressDisplay* progress, bool namedPath) {
    checkArchivable(fileList);
    const ByteBuffer header = headerOf(fileList);
    OutputTarget target;
    findOutputTarget(archivePath, namedPath, target);
    OutputFile out;
    if (target.stream.valid()) {
        createOutputStream(out, target.stream.get(), archivePath);
        (void)writeInto(out, header, fileList, progress);  // a stream has nothing to warn of
        closeOutputTarget(target, archivePath);
        return std::string();
    }
    createOutputFile(out, target.path, archivePath);
    return writeInto(out, header, fileList, progress);
}

void streamArchive(intptr_t stream, const std::string& shownPath, const FileList& fileList,
                   ProgressDisplay* progress) {
    checkArchivable(fileList);
    const ByteBuffer header = headerOf(fileList);
    OutputFile out;
    createOutputStream(out, stream, shownPath);
    (void)writeInto(out, header, fileList, progress);  // a stream has nothing to warn of
}
