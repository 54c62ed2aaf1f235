#include "builder/run.h"

#include "common/fatal_error.h"
#include "ops/extract.h"
#include "platform/extract_fs.h"
#include "platform/messages.h"
#include "platform/scan.h"

bool unpackingStep(Dialog& dialog, const std::string& archivePath, UnpackingWords words,
                   const std::function<void()>& step) {
    try {
        failWhenOutOfMemory(outOfMemoryReadingText(archivePath), [&] {
            try {
                step();
            } catch (const InputFault& fault) {  // the archive's path goes in words' own place
                fatalError(words(archivePath, fault.finding));
            } catch (const FatalError& failure) {
                fatalError(words(archivePath, failure.what()));
            }
        });
        return true;
    } catch (const FatalError& failure) {
        dialog.showError(failure.what());
        return false;
    }
}

bool loadArchiveForUnpacking(const std::string& archivePath, LoadedArchive& archive,
                             Dialog& dialog) {
    return unpackingStep(dialog, archivePath, archiveReadErrorText, [&] {
        // Read aside, so that what a failure leaves goes before its message is shown.
        LoadedArchive loaded;
        readArchiveFile(archivePath, loaded);
        checkArchiveNames(loaded);
        archive = std::move(loaded);
    });
}

int extractWithQuestions(LoadedArchive& archive, const std::string& folder, Dialog& dialog,
                         FileSystem& fs, ReplaceQuestion rule) {
    const std::string archivePath = archive.path;
    // The folder is never reached through a link, even one put in its place while the questions
    // wait: it is held open from here, or created and opened relative to its parent after them.
    Destination dest;
    bool replacesFiles = false;
    if (!unpackingStep(dialog, archivePath, extractionErrorText, [&] {
            dest = findDestination(folder, /*chosen=*/true);
            checkDestination(dest, archive, /*replace=*/true);
            if (rule == ReplaceQuestion::WhenFileExists && dest.open) {
                // With replacing allowed nothing else was refused: what is refused now is a file
                // already there.
                try {
                    checkDestination(dest, archive, /*replace=*/false);
                } catch (const FatalError&) {
                    replacesFiles = true;
                }
            }
        })) {
        return 1;
    }

    if (!dialog.askToContinue(extractQuestion(archivePath, folder, archive.records.size()))) {
        return 0;
    }
    const bool askReplace = rule == ReplaceQuestion::WhenFolderExists
                                ? dest.open || fs.exists(folder)
                                : replacesFiles;
    if (askReplace && !dialog.askToContinue(folderExistsQuestion(folder))) return 0;

    std::vector<std::string> warnings;
    try {
        if (!unpackingStep(dialog, archivePath, extractionErrorText, [&] {
                // The progress display closes before any message appears.
                std::unique_ptr<ProgressDisplay> progress = dialog.startProgress();
                extractArchive(archive, dest, /*replace=*/true, progress.get(),
                               [&](const std::string& warning) { warnings.push_back(warning); });
            })) {
            return 1;
        }
    } catch (const Cancelled&) {
        return 0;
    }
    // The files are in place whatever followed; the user still learns what failed.
    for (const std::string& warning : warnings) dialog.showError(warningText(warning));
    dialog.showInformation(kExtractionCompleteText);
    return 0;
}

namespace {

// Turns the archive back into the folder beside it, asking first as packing does.
int unpackRun(const std::string& archivePath, Dialog& dialog, FileSystem& fs) {
    std::string folder;
    try {
        folder = defaultDestination(archivePath);
    } catch (const InputFault& fault) {
        dialog.showError(extractionErrorText(
            archivePath, "can't name a folder to extract it into, as " + fault.finding));
        return 1;
    }
    // Every name and everything at the destination is checked before the first question, so a
    // refusal asks nothing and writes nothing.
    LoadedArchive archive;
    if (!loadArchiveForUnpacking(archivePath, archive, dialog)) return 1;
    return extractWithQuestions(archive, folder, dialog, fs, ReplaceQuestion::WhenFolderExists);
}

}  // namespace

int runZemBuilder(const std::vector<std::string>& args, Dialog& dialog, FileSystem& fs) {
    // An empty argument names no folder: treat it like a missing one.
    if (args.size() != 1 || args[0].empty()) {
        dialog.showInformation(kUsageText);
        return 0;
    }
    // The one place that tells the two runs apart: an archive is unpacked, anything else packed.
    if (hasArchiveSuffix(args[0]) && isRegularFile(args[0])) {
        return unpackRun(args[0], dialog, fs);
    }
    PackRequest request;
    request.folderArgument = args[0];
    request.archivePath = rootPathFromArgument(args[0]) + ".zem";
    const std::string& archivePath = request.archivePath;
    PackCalls calls;
    calls.confirm = [&](const FileList& files) {
        return dialog.askToContinue(firstQuestion(archivePath, static_cast<int>(files.size()))) &&
               (!fs.exists(archivePath) || dialog.askToContinue(existsQuestion(archivePath)));
    };
    calls.startProgress = [&] { return dialog.startProgress(); };
    calls.showError = [&](const std::string& text) { dialog.showError(text); };
    const PackResult result = packFolder(fs, request, calls);
    if (result.outcome != PackOutcome::Written) {
        return result.outcome == PackOutcome::Cancelled ? 0 : 1;
    }
    // The archive is in place whatever followed, so the run has succeeded; the user still learns
    // what failed.
    if (!result.warning.empty()) dialog.showError(warningText(result.warning));
    dialog.showInformation(kCompleteText);
    return 0;
}
