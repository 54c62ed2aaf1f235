// The steps of an atomic file that are the same on every platform.

#include "archive/atomic_file.h"

#include "archive/fatal_error.h"

void createAtomicFile(AtomicFile& file, const FolderHandle& folder, const std::string& name,
                      const std::string& tempPrefix, FailureText failureText) {
    file.name = name;
    file.failureText = std::move(failureText);
    if (!createTemporaryFile(file.temp, folder, tempPrefix)) {
        failAtomicFile(file, FileStep::Create, lastSystemError());
    }
}

void failAtomicFile(const AtomicFile& file, FileStep step, int code) {
    const FolderHandle& folder = *file.temp.folder;
    std::string path;
    switch (step) {
        case FileStep::Create: path = folder.path; break;
        case FileStep::RemoveTemporary: path = pathInside(folder, file.temp.name); break;
        default: path = pathInside(folder, file.name); break;
    }
    fatalError(file.failureText(step, path, code));
}
