#include "archive/output_file.h"

std::string archiveOpenError(const std::string& archivePath) {
    return "Error opening .zem file (\"" + archivePath + "\") for output";
}

std::string archiveWriteError(const std::string& archivePath) {
    return "Error writing .zem file (\"" + archivePath + "\")";
}

std::string inputOpenError(const std::string& path) {
    return "Error opening file \"" + path + "\" for input";
}

std::string inputReadError(const std::string& path) {
    return "Error reading data from file \"" + path + "\"";
}
