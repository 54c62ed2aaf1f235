#pragma once
// zem-builder's messages, in the order and grouping of the README's message table (packing, then
// unpacking), each text in one place. They live here, below the operations, since the listing,
// the input reading and the output file raise some of them; `zem create`, the viewer and libzem
// give the same texts. The tests pin every one: a change here is a change of the table.

#include <cstdint>
#include <string>

// No argument, more than one, or an empty one.
inline constexpr const char* kUsageText =
    "To run the ZEM Builder, put all your files into a folder, then drag-and-drop the folder onto "
    "the ZEM Builder's icon. The folder's name will be used as the name of the .zem file.";

// Packing: the questions, then the end.
std::string firstQuestion(const std::string& archivePath, int fileCount);
std::string existsQuestion(const std::string& archivePath);
inline constexpr const char* kCompleteText = "ZEM creation complete.";

// Packing's failures: the archive can't be created, an input file can't be opened or read, the
// archive can't be written, memory ran out while writing.
std::string archiveOpenError(const std::string& archivePath);
std::string inputOpenError(const std::string& path);
std::string inputReadError(const std::string& path);
std::string archiveWriteError(const std::string& archivePath);
std::string outOfMemoryWritingText(const std::string& archivePath);

// A step after a file was put in place failed (packing's folder sync, unpacking's steps): the run
// still succeeds.
std::string warningText(const std::string& reason);

// Before any question: memory ran out while listing the folder given as the argument.
std::string outOfMemoryListingText(const std::string& folder);

// What the archive can't hold: a file of 4 GiB or more; a name with a backslash, or (Windows)
// with characters the system code page lacks; files that add up to more than its 32-bit offsets
// reach (`end`: the archive's size in bytes).
std::string fileTooLargeText(const std::string& path);
std::string backslashNameText(const std::string& path);
std::string unstorableNameText(const std::string& path);
std::string archiveTooLargeText(uint64_t end);

// The path given, or a folder below it, can't be listed, for the reason given (none when empty).
std::string folderOpenErrorText(const std::string& folder, const std::string& reason);

// Unpacking: the questions, the end, and the errors before and during the extraction.
std::string extractQuestion(const std::string& archivePath, const std::string& folder,
                            size_t fileCount);
std::string folderExistsQuestion(const std::string& folder);
inline constexpr const char* kExtractionCompleteText = "ZEM extraction complete.";
std::string archiveReadErrorText(const std::string& archivePath, const std::string& reason);
std::string extractionErrorText(const std::string& archivePath, const std::string& reason);
std::string outOfMemoryReadingText(const std::string& archivePath);
