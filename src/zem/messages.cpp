#include "zem/messages.h"

std::string unknownCommandText(const std::string& command) {
    return "unknown command \"" + command + "\"";
}

std::string extraArgumentText(const std::string& argument, const std::string& command) {
    const std::string prefix = command.empty() ? "" : command + ": ";
    const bool option = argument.size() > 1 && argument[0] == '-';
    return prefix + (option ? "unknown option \"" : "unexpected argument \"") + argument + "\"";
}

std::string tryHelpText(const std::string& command) {
    return "Try \"zem " + (command.empty() ? "" : command + " ") + "--help\" for more information.";
}

std::string excludeEachOtherText(const std::string& command, const std::string& option,
                                 const std::string& other) {
    return command + ": " + option + " and " + other + " exclude each other";
}

std::string unavailableText(const std::string& command) {
    return command + " is not available on this system: it needs FUSE, which Linux has";
}

std::string namesNeedDirectoryText(const std::string& operand) {
    return "extract: give the folder with -C DEST to extract only some files (\"" + operand + "\")";
}

std::string nameAsDestinationText(const std::string& operand, bool stored) {
    return "extract: \"" + operand + "\" is " + (stored ? "a name in the archive" : "a pattern") +
           ", not a folder: to extract only that, give -C DEST \"" + operand +
           "\" (-C . for the current folder)";
}

std::string archiveDestinationText(const std::string& archivePath, const std::string& problem) {
    return "can't name a folder to extract \"" + archivePath + "\" into, as " + problem +
           ": give DEST";
}

std::string listedPathText(const std::string& path, const std::string& list,
                           const std::string& problem) {
    return "\"" + path + "\" (listed in " + list + ") " + problem;
}

std::string notATimeText(const std::string& mtime) {
    return "--mtime: \"" + mtime +
           "\" is not a time: give YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM|-HH:MM] or @SECONDS";
}

std::string notAnEpochText(const std::string& epoch) {
    return "SOURCE_DATE_EPOCH: \"" + epoch +
           "\" is not a whole number of seconds since 1970-01-01 00:00:00 UTC";
}

std::string yearOutOfRangeText(const std::string& source, int64_t year, int64_t first,
                               int64_t last) {
    return source + " lies in " + std::to_string(year) + ", outside the years " +
           std::to_string(first) + " to " + std::to_string(last) + " that an archive can store";
}

std::string zemWarningText(const std::string& reason) { return "warning: " + reason; }

std::string leftOutDeepText(uint64_t count) {
    return zemWarningText("left out " + std::to_string(count) + (count == 1 ? " file" : " files") +
                          " below the tenth level of subfolders");
}
