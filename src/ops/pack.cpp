#include "ops/pack.h"

#include <system_error>

#include "common/fatal_error.h"
#include "common/standard_streams.h"
#include "ops/writer.h"
#include "platform/messages.h"

PackResult packFolder(FileSystem& fs, const PackRequest& request, const PackCalls& calls) {
    PackResult result;
    // An archive written into the folder it packs must not pack its own earlier version.
    ScanOptions scan = request.scan;
    if (!request.toStandardOutput) {
        const std::string root = rootPathFromArgument(request.folderArgument);
        scan.ownArchive = storedNameOfOutput(root, request.archivePath);
        scan.ownArchiveId = fileIdentity(request.archivePath, request.namedOutput);
    }
    // Running out of memory ends the run with a message, never an abort; what the list held is
    // given back first, so that the message can be shown.
    FileList fileList;
    bool listed = false;
    // A subfolder that can't be listed ends the run like the root: passing over it would leave
    // its files out unseen.
    std::string unlisted;
    scan.unlisted = [&](const std::string& folderPath) {
        if (unlisted.empty()) unlisted = folderPath;
    };
    try {
        listed = failWhenOutOfMemory(outOfMemoryListingText(request.folderArgument), [&] {
            return scanFolder(fs, rootPathFromArgument(request.folderArgument), fileList, scan);
        });
    } catch (const FatalError& failure) {
        fileList = FileList();
        calls.showError(failure.what());
        return result;
    }
    // A typo or a plain file would otherwise pack as an empty folder and report success.
    if (!listed || !unlisted.empty()) {
        const std::string folder =
            listed ? unlisted : rootPathFromArgument(request.folderArgument);
        calls.showError(folderOpenErrorText(listed ? unlisted : request.folderArgument,
                                            fs.listFailure(folder)));
        return result;
    }
    try {
        checkStorableNames(fileList);
    } catch (const InputFault& refusal) {
        calls.showError(refusal.what());
        return result;
    }
    if (calls.confirm && !calls.confirm(fileList)) {
        result.outcome = PackOutcome::Cancelled;
        return result;
    }

    // The progress display closes before any later message appears.
    std::unique_ptr<ProgressDisplay> progress;
    if (calls.startProgress) progress = calls.startProgress();
    try {
        failWhenOutOfMemory(outOfMemoryWritingText(request.archivePath), [&] {
            if (request.toStandardOutput) {
                streamArchive(standardOutputFile(), request.archivePath, fileList, progress.get());
            } else {
                result.warning = writeArchive(request.archivePath, fileList, progress.get(),
                                              request.namedOutput);
            }
        });
    } catch (const FatalError& failure) {
        progress.reset();
        fileList = FileList();
        calls.showError(failure.what());
        return result;
    } catch (const Cancelled&) {
        result.outcome = PackOutcome::Cancelled;
        return result;
    }
    result.outcome = PackOutcome::Written;
    return result;
}
