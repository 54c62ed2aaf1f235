#include "archive/writer.h"

#include <memory>
#include <utility>

#include "archive/fatal_error.h"
#include "archive/format.h"
#include "archive/output_file.h"

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

void writeArchive(const std::string& archivePath, const FileList& fileList,
                  ProgressDisplay* progress) {
    checkArchivable(fileList);
    const ArchiveFrame frame = frameOf(fileList);
    std::unique_ptr<OutputFile> out = createOutputFile(archivePath);
    out->expectFiles(fileList);
    out->write(frame.header.data(), frame.header.size());

    WriteProgress done;
    done.fileCount = fileList.size();
    for (const FileEntry& entry : fileList) done.byteCount += entry.size;
    if (progress) {
        progress->update(done);
        // A large file moves the display while it is copied, and a cancel stops it mid-file.
        out->onPieceCopied = [&done, progress](uint64_t copiedOfFile) {
            WriteProgress partial = done;
            partial.bytesDone += copiedOfFile;
            progress->update(partial);
        };
    }
    for (const FileEntry& entry : fileList) {
        out->appendFile(entry.path, entry.size);
        ++done.filesDone;
        done.bytesDone += entry.size;
        if (progress) progress->update(done);
    }

    out->write(frame.indexAndRecords.data(), frame.indexAndRecords.size());
    out->commit();
}
