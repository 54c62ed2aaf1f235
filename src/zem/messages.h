#pragma once
// zem's own message texts, each in one place: the words after "zem: " (printMessage adds the
// prefix and escapes them). Grouped as docs/zem.md tells them: the wrong command lines (exit 2),
// then the problems and warnings of the commands. Texts that the operations below raise (a
// damaged archive, a refused name, a folder verify can't list) come with their operations; the
// tests pin every one.

#include <cstdint>
#include <string>

// A wrong command line, and the line that follows it. `command` is empty for zem's own options.
inline constexpr const char* kNoCommandText = "no command given";
std::string unknownCommandText(const std::string& command);
std::string extraArgumentText(const std::string& argument, const std::string& command);
std::string tryHelpText(const std::string& command);
std::string excludeEachOtherText(const std::string& command, const std::string& option,
                                 const std::string& other);
std::string unavailableText(const std::string& command);

// As tar does: a terminal is no archive to read, nor a place to write one.
inline constexpr const char* kTerminalInputText =
    "won't read an archive from a terminal: redirect standard input or name the archive";
inline constexpr const char* kTerminalOutputText =
    "won't write an archive to a terminal: redirect standard output or give -o FILE";

// zem extract's destination.
std::string namesNeedDirectoryText(const std::string& operand);
std::string nameAsDestinationText(const std::string& operand, bool stored);
inline constexpr const char* kStandardInputDestinationText =
    "can't name a folder to extract standard input into: give DEST";
std::string archiveDestinationText(const std::string& archivePath, const std::string& problem);

// zem create's command line: the operands, the list of -T, and the time rule.
inline constexpr const char* kMissingFolderText = "create: missing FOLDER";
inline constexpr const char* kEmptyFolderText = "create: FOLDER is empty";
inline constexpr const char* kNullNeedsListText = "create: --null needs -T FILE";
inline constexpr const char* kOutputNeededText =
    "create: give -o FILE where -T comes without FOLDER";
std::string listedPathText(const std::string& path, const std::string& list,
                           const std::string& problem);
std::string notATimeText(const std::string& mtime);
std::string notAnEpochText(const std::string& epoch);
inline constexpr const char* kClampNeedsTimeText =
    "--clamp-mtime needs --mtime=WHEN or SOURCE_DATE_EPOCH";
std::string yearOutOfRangeText(const std::string& source, int64_t year, int64_t first,
                               int64_t last);

// A step after the work was done failed, or something was left out: the run still succeeds.
std::string zemWarningText(const std::string& reason);
std::string leftOutDeepText(uint64_t count);

// A fixed line, printed as it is: building a message could run out again.
inline constexpr const char* kOutOfMemoryLine = "zem: out of memory\n";
