#include "platform/output_file.h"

#include <cstring>

#include "common/fatal_error.h"
#include "platform/messages.h"

namespace {

// Big enough that its writes cost little per byte, small enough to stay well inside the memory
// budget.
constexpr size_t kStageSize = size_t(1) << 20;

// Runs a step of the atomic file, its failure told as the archive's: creating it is opening the
// archive, and every later step writes it.
template <typename Step>
auto inArchiveWords(const OutputFile& out, Step step) {
    try {
        return step();
    } catch (const FileStepFailure& failure) {
        fatalError(failure.step == FileStep::Create ? archiveOpenError(out.archivePath)
                                                    : archiveWriteError(out.archivePath));
    }
}

void paceOutputWriteback(OutputFile& out) {
    // A stream's reader decides when its bytes reach a disk, if ever.
    if (out.stream >= 0) return;
    if (!paceWriteback(out.writeback, out.file.temp.native.get(), out.size - out.stageUsed)) {
        failOutputWrite(out);
    }
}

void writeOut(OutputFile& out, const void* data, size_t size) {
    if (out.stream < 0) {
        inArchiveWords(out, [&] { writeAtomicFile(out.file, data, size); });
    } else if (!writeWhole(out.stream, data, size)) {
        failOutputWrite(out);
    }
}

// Writes out what the staging buffer holds; its bytes are already counted in out.size.
void flushStage(OutputFile& out) {
    if (out.stageUsed == 0) return;
    writeOut(out, out.stage.get(), out.stageUsed);
    out.stageUsed = 0;
    paceOutputWriteback(out);
}

}  // namespace

void createOutputFile(OutputFile& out, const std::string& archivePath,
                      const std::string& shownPath) {
    const std::string shown = shownPath.empty() ? archivePath : shownPath;
    out.archivePath = shown;
    std::string name;
    // Whatever the folder decides about the name, it decides now, before any data is written.
    try {
        openFolderOf(archivePath, out.folder, name);
    } catch (const SystemFailure&) {
        fatalError(archiveOpenError(shown));
    }
    if (!canPlaceFileAt(out.folder, name)) fatalError(archiveOpenError(shown));
    removeLeftoverTemporaryFiles(out.folder);
    inArchiveWords(out, [&] { createAtomicFile(out.file, out.folder, name); });
    out.stage.reset(new char[kStageSize]);
}

void createOutputStream(OutputFile& out, intptr_t stream, const std::string& archivePath) {
    out.archivePath = archivePath;
    if (stream < 0) fatalError(archiveOpenError(archivePath));
    out.stream = stream;
    out.stage.reset(new char[kStageSize]);
}

void writeOutput(OutputFile& out, const void* data, size_t size) {
    if (size == 0) return;  // an empty buffer's data() may be null, which memcpy must not get
    if (size > kStageSize - out.stageUsed) {
        flushStage(out);
        if (size >= kStageSize) {
            writeOut(out, data, size);
            out.size += size;
            paceOutputWriteback(out);
            return;
        }
    }
    memcpy(out.stage.get() + out.stageUsed, data, size);
    out.stageUsed += size;
    out.size += size;
}

intptr_t fileForDirectAppend(OutputFile& out) {
    flushStage(out);
    return out.stream >= 0 ? out.stream : out.file.temp.native.get();
}

void appendedDirectly(OutputFile& out, uint64_t count) {
    out.size += count;
    paceOutputWriteback(out);
}

std::string commitOutput(OutputFile& out) {
    flushStage(out);
    if (out.stream >= 0) return std::string();
    return inArchiveWords(out, [&] {
        return commitAtomicFile(out.file, {/*replace=*/true, /*durable=*/true});
    });
}

void failOutputWrite(const OutputFile& out) { fatalError(archiveWriteError(out.archivePath)); }
