#include "archive/output_file.h"

#include <cstring>

#include "archive/fatal_error.h"

namespace {

// Big enough that its writes cost little per byte, small enough to stay well inside the memory
// budget.
constexpr size_t kStageSize = size_t(1) << 20;

void paceOutputWriteback(OutputFile& out) {
    if (!paceWriteback(out.writeback, out.file.temp.native, out.size - out.stageUsed)) {
        failAtomicFile(out.file, FileStep::Write, lastSystemError());
    }
}

// Writes out what the staging buffer holds; its bytes are already counted in out.size.
void flushStage(OutputFile& out) {
    if (out.stageUsed == 0) return;
    writeAtomicFile(out.file, out.stage.get(), out.stageUsed);
    out.stageUsed = 0;
    paceOutputWriteback(out);
}

}  // namespace

void createOutputFile(OutputFile& out, const std::string& archivePath) {
    out.archivePath = archivePath;
    std::string name;
    // Whatever the folder decides about the name, it decides now, before any data is written.
    if (!openFolderOf(archivePath, out.folder, name) || !canPlaceFileAt(out.folder, name)) {
        fatalError(archiveOpenError(archivePath));
    }
    removeLeftoverTemporaryFiles(out.folder);
    createAtomicFile(out.file, out.folder, name,
                     [archivePath](FileStep step, const std::string&, int) {
                         return step == FileStep::Create ? archiveOpenError(archivePath)
                                                         : archiveWriteError(archivePath);
                     });
    out.stage.reset(new char[kStageSize]);
}

void writeOutput(OutputFile& out, const void* data, size_t size) {
    if (size == 0) return;  // an empty buffer's data() may be null, which memcpy must not get
    if (size > kStageSize - out.stageUsed) {
        flushStage(out);
        if (size >= kStageSize) {
            writeAtomicFile(out.file, data, size);
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
    return out.file.temp.native;
}

void appendedDirectly(OutputFile& out, uint64_t count) {
    out.size += count;
    paceOutputWriteback(out);
}

std::string commitOutput(OutputFile& out) {
    flushStage(out);
    return commitAtomicFile(out.file, {/*replace=*/true, /*durable=*/true});
}

std::string archiveOpenError(const std::string& archivePath) {
    return "Error opening .zem file (\"" + archivePath + "\") for output";
}

std::string archiveWriteError(const std::string& archivePath) {
    return "Error writing .zem file (\"" + archivePath + "\")";
}
