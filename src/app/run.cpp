#include "app/run.h"

#include <new>

#include "archive/fatal_error.h"
#include "archive/writer.h"
#include "scan/file_list.h"
#include "scan/scan.h"

const char* const kUsageText =
    "To run the ZEM Builder, put all your files into a folder, then drag-and-drop the folder onto "
    "the ZEM Builder's icon. The folder's name will be used as the name of the .zem file.";

const char* const kCompleteText = "ZEM creation complete.";

std::string firstQuestion(const std::string& archivePath, int fileCount) {
    return "Generating \"" + archivePath + "\" from " + std::to_string(fileCount) +
           " files. Continue?";
}

std::string existsQuestion(const std::string& archivePath) {
    return "ZEM file \"" + archivePath + "\" already exists. Definitely continue?";
}

std::string outOfMemoryListingText(const std::string& folder) {
    return "Out of memory listing the folder \"" + folder + "\"";
}

std::string outOfMemoryWritingText(const std::string& archivePath) {
    return "Out of memory writing .zem file (\"" + archivePath + "\")";
}

int runZemBuilder(const std::vector<std::string>& args, Dialog& dialog, FileSystem& fs) {
    // An empty argument names no folder: treat it like a missing one.
    if (args.size() != 1 || args[0].empty()) {
        dialog.showInformation(kUsageText);
        return 0;
    }
    const std::string rootPath = rootPathFromArgument(args[0]);
    const std::string archivePath = rootPath + ".zem";

    // Running out of memory ends the run with a message, never an abort; what the list held is
    // given back first, so that the message can be shown.
    FileList fileList;
    try {
        // A root that can't be listed packs as an empty folder.
        scanFolder(fs, rootPath, fileList);
    } catch (const std::bad_alloc&) {
        FileList().swap(fileList);
        dialog.showError(outOfMemoryListingText(args[0]));
        return 1;
    }
    const std::string refusal = backslashRefusal(fileList);
    if (!refusal.empty()) {
        dialog.showError(refusal);
        return 1;
    }

    if (!dialog.askToContinue(firstQuestion(archivePath, static_cast<int>(fileList.size())))) {
        return 0;
    }
    if (fs.exists(archivePath) && !dialog.askToContinue(existsQuestion(archivePath))) return 0;

    // The progress display closes before any later message appears.
    std::unique_ptr<ProgressDisplay> progress = dialog.startProgress();
    std::string warning;
    try {
        warning = writeArchive(archivePath, fileList, progress.get());
    } catch (const FatalError& failure) {
        progress.reset();
        dialog.showError(failure.what());
        return 1;
    } catch (const WriteCancelled&) {
        return 0;
    } catch (const std::bad_alloc&) {
        progress.reset();
        FileList().swap(fileList);
        dialog.showError(outOfMemoryWritingText(archivePath));
        return 1;
    }
    progress.reset();
    // The archive is in place whatever followed, so the run has succeeded; the user still learns
    // what failed.
    if (!warning.empty()) dialog.showError("Warning: " + warning);
    dialog.showInformation(kCompleteText);
    return 0;
}
