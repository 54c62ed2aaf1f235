#include "platform/messages.h"

std::string firstQuestion(const std::string& archivePath, int fileCount) {
    return "Generating \"" + archivePath + "\" from " + std::to_string(fileCount) +
           " files. Continue?";
}

std::string existsQuestion(const std::string& archivePath) {
    return "ZEM file \"" + archivePath + "\" already exists. Definitely continue?";
}

std::string archiveOpenError(const std::string& archivePath) {
    return "Error opening .zem file (\"" + archivePath + "\") for output";
}

std::string inputOpenError(const std::string& path) {
    return "Error opening file \"" + path + "\" for input";
}

std::string inputReadError(const std::string& path) {
    return "Error reading data from file \"" + path + "\"";
}

std::string archiveWriteError(const std::string& archivePath) {
    return "Error writing .zem file (\"" + archivePath + "\")";
}

std::string outOfMemoryWritingText(const std::string& archivePath) {
    return "Out of memory writing .zem file (\"" + archivePath + "\")";
}

std::string warningText(const std::string& reason) { return "Warning: " + reason; }

std::string outOfMemoryListingText(const std::string& folder) {
    return "Out of memory listing the folder \"" + folder + "\"";
}

std::string fileTooLargeText(const std::string& path) {
    return "File \"" + path + "\" is 4 GiB or larger, more than a .zem file can hold";
}

std::string backslashNameText(const std::string& path) {
    return "File name \"" + path +
           "\" holds a backslash, which a .zem file would read back as a subfolder";
}

std::string unstorableNameText(const std::string& path) {
    return "File name \"" + path +
           "\" holds characters that the system code page lacks (shown as <U+XXXX>), which a "
           ".zem file can't store faithfully";
}

std::string archiveTooLargeText(uint64_t end) {
    return "The files add up to " + std::to_string(end) +
           " bytes of archive, more than a .zem file can hold (4 GiB)";
}

std::string folderOpenErrorText(const std::string& folder, const std::string& reason) {
    return "Error opening folder \"" + folder + "\"" + (reason.empty() ? "" : ": " + reason);
}

std::string extractQuestion(const std::string& archivePath, const std::string& folder,
                            size_t fileCount) {
    return "Extracting " + std::to_string(fileCount) + (fileCount == 1 ? " file" : " files") +
           " from \"" + archivePath + "\" into \"" + folder + "\". Continue?";
}

std::string folderExistsQuestion(const std::string& folder) {
    return "Folder \"" + folder +
           "\" already exists. Files in it with the same names will be replaced. Definitely "
           "continue?";
}

std::string archiveReadErrorText(const std::string& archivePath, const std::string& reason) {
    return "Error reading .zem file (\"" + archivePath + "\"): " + reason;
}

std::string extractionErrorText(const std::string& archivePath, const std::string& reason) {
    return "Error extracting .zem file (\"" + archivePath + "\"): " + reason;
}

std::string outOfMemoryReadingText(const std::string& archivePath) {
    return "Out of memory reading .zem file (\"" + archivePath + "\")";
}
