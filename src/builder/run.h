#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "builder/dialog.h"
#include "ops/extract.h"
#include "ops/pack.h"
#include "platform/file_system.h"
#include "platform/messages.h"

// How unpacking tells a failure: archiveReadErrorText or extractionErrorText (messages.h).
using UnpackingWords = std::string (*)(const std::string& archivePath, const std::string& reason);

// Runs a step of unpacking the archive and shows its failure as an error: in `words` with the
// failure's reason, or, when memory ran out, as unpacking's own message. False after a failure;
// a cancel passes on.
bool unpackingStep(Dialog& dialog, const std::string& archivePath, UnpackingWords words,
                   const std::function<void()>& step);

// Reads and checks the archive as unpacking does, before any question: a damaged archive, or one
// holding a name that extraction refuses here, is shown as an error and gives false.
bool loadArchiveForUnpacking(const std::string& archivePath, LoadedArchive& archive,
                             Dialog& dialog);

// When unpacking asks before replacing: whenever the folder exists (a drop, which makes the folder
// of the archive's name), or only when a file of the archive is already there (a folder the user
// picked, which always exists).
enum class ReplaceQuestion { WhenFolderExists, WhenFileExists };

// Extracts the archive's records into `folder`, never through a link at it or below it: every
// name and everything in the way is checked first, then the questions, then the files, each put in
// place whole; the messages are unpacking's. Returns the exit code of a run that did this.
int extractWithQuestions(LoadedArchive& archive, const std::string& folder, Dialog& dialog,
                         FileSystem& fs, ReplaceQuestion rule);

// One whole run. args holds the arguments after the program's name: a regular file whose name
// ends in .zem (any letter case) is unpacked into the folder beside it, a folder packed into the
// archive beside it. Returns the exit code: 0 for the usage text, a Cancel or success; 1 after a
// fatal error (running out of memory included), for a path that is neither, for a file whose name
// the archive can't hold, or for an archive that is damaged or holds a name refused here.
int runZemBuilder(const std::vector<std::string>& args, Dialog& dialog, FileSystem& fs);
