#pragma once
// Packing a folder into an archive, from the listing to the archive in place: the one sequence
// zem-builder and `zem create` share. What differs between the two (questions, where messages
// go, the progress display) comes in as calls.

#include <functional>
#include <memory>
#include <string>

#include "platform/file_list.h"
#include "platform/file_system.h"
#include "platform/messages.h"
#include "platform/progress.h"
#include "platform/scan.h"

struct PackRequest {
    std::string folderArgument;  // as given: the messages name it
    ScanOptions scan;
    // The archive's path, replaced atomically; with toStandardOutput only its name in messages.
    std::string archivePath;
    bool toStandardOutput = false;
    // The user named archivePath (zem create -o): links there are followed, and a device or named
    // pipe is written into (output_target.h). Otherwise the program chose it (FOLDER.zem).
    bool namedOutput = false;
};

struct PackCalls {
    // Once the list is complete and holds nothing refused: false ends the run there (a Cancel),
    // with nothing written. Unset, the run goes on.
    std::function<bool(const FileList& files)> confirm;
    // Unset, or giving null: no progress is shown.
    std::function<std::unique_ptr<ProgressDisplay>()> startProgress;
    std::function<void(const std::string& text)> showError;
};

enum class PackOutcome { Written, Cancelled, Failed };

struct PackResult {
    PackOutcome outcome = PackOutcome::Failed;
    // Written: what failed after the archive was in place, which can't undo it ("" when nothing).
    std::string warning;
};

// Lists the folder, leaving out the archive's own earlier version when it lies inside (as tar
// does), refuses a name the archive can't hold, confirms, and writes with the writer's
// guarantees. Every failure is shown through calls.showError (after the progress display has
// closed) with the builder's texts.
PackResult packFolder(FileSystem& fs, const PackRequest& request, const PackCalls& calls);
