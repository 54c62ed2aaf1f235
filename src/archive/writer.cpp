#include "archive/writer.h"

#include <memory>
#include <utility>

#include "archive/fatal_error.h"
#include "archive/format.h"
#include "archive/input_reader.h"
#include "archive/output_file.h"
#include "archive/output_target.h"

namespace {

constexpr uint64_t kMaxArchiveEnd = 0xFFFFFFFFu;

// Everything in the archive but the files' data, which lies between the two: the header, and the
// index with the records. Each file's data begin where the previous file's end, from the end of
// the header, so the list alone fixes every offset.
struct ArchiveFrame {
    ByteBuffer header;
    ByteBuffer indexAndRecords;
};

ArchiveFrame frameOf(const FileList& fileList) {
    ByteBuffer index;
    ByteBuffer records;
    uint32_t dataOffset = kHeaderSize;
    for (const FileEntry& entry : fileList) {
        writeU32(index, static_cast<uint32_t>(records.size()));
        const CalendarTime time = entry.modifiedTime == kNoTime
                                      ? CalendarTime{}
                                      : calendarFromSeconds(entry.modifiedTime);
        encodeRecord(records, dataOffset, static_cast<uint32_t>(entry.size), time,
                     entry.storedName);
        dataOffset += static_cast<uint32_t>(entry.size);
    }
    ArchiveFrame frame;
    ArchiveHeader header;
    header.fileCount = static_cast<uint32_t>(fileList.size());
    header.recordsLength = static_cast<uint32_t>(records.size());
    header.indexOffset = dataOffset;
    encodeHeader(frame.header, header);
    frame.indexAndRecords = std::move(index);
    frame.indexAndRecords.insert(frame.indexAndRecords.end(), records.begin(), records.end());
    return frame;
}

}  // namespace

void checkArchivable(const FileList& fileList) {
    uint64_t end = kHeaderSize;
    for (const FileEntry& entry : fileList) {
        if (entry.size > 0xFFFFFFFFu) {
            fatalError("File \"" + entry.path +
                       "\" is 4 GiB or larger, more than a .zem file can hold");
        }
        end += entry.size + kIndexSlotSize + kRecordFixedSize + entry.storedName.size() + 1;
    }
    if (end > kMaxArchiveEnd) {
        fatalError("The files add up to " + std::to_string(end) +
                   " bytes of archive, more than a .zem file can hold (4 GiB)");
    }
}

namespace {

// Everything after the output is open: the header, each file's data, the index and records.
std::string writeInto(OutputFile& out, const ArchiveFrame& frame, const FileList& fileList,
                      ProgressDisplay* progress) {
    const std::unique_ptr<InputReader> input = openInputReader(fileList);
    writeOutput(out, frame.header.data(), frame.header.size());

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
    for (const FileEntry& entry : fileList) {
        current = &entry;
        previous = 0;
        input->appendNext(out, copied);
        ++done.filesDone;
        done.bytesDone += entry.size;
        if (progress) progress->update(done);
    }

    writeOutput(out, frame.indexAndRecords.data(), frame.indexAndRecords.size());
    return commitOutput(out);
}

}  // namespace

std::string writeArchive(const std::string& archivePath, const FileList& fileList,
                         ProgressDisplay* progress, bool namedPath) {
    checkArchivable(fileList);
    const ArchiveFrame frame = frameOf(fileList);
    OutputTarget target;
    findOutputTarget(archivePath, namedPath, target);
    OutputFile out;
    if (target.stream >= 0) {
        createOutputStream(out, target.stream, archivePath);
        (void)writeInto(out, frame, fileList, progress);  // a stream has nothing to warn of
        closeOutputTarget(target, archivePath);
        return std::string();
    }
    createOutputFile(out, target.path, archivePath);
    return writeInto(out, frame, fileList, progress);
}

void streamArchive(intptr_t stream, const std::string& shownPath, const FileList& fileList,
                   ProgressDisplay* progress) {
    checkArchivable(fileList);
    const ArchiveFrame frame = frameOf(fileList);
    OutputFile out;
    createOutputStream(out, stream, shownPath);
    (void)writeInto(out, frame, fileList, progress);  // a stream has nothing to warn of
}
