#include "zem/create.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <system_error>

#include "common/fatal_error.h"
#include "common/standard_streams.h"
#include "format/format.h"
#include "format/local_time.h"
#include "format/stored_name.h"
#include "ops/pack.h"
#include "ops/progress_text.h"
#include "zem/commands.h"
#include "zem/messages.h"

namespace {

// Reads `count` digits at text[at] into value, advancing `at`.
bool digits(const std::string& text, size_t& at, size_t count, int64_t& value) {
    if (text.size() - at < count) return false;
    value = 0;
    for (size_t end = at + count; at < end; ++at) {
        if (text[at] < '0' || text[at] > '9') return false;
        value = value * 10 + (text[at] - '0');
    }
    return true;
}

bool expect(const std::string& text, size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

// A whole decimal number, with a sign when `signAllowed`: no blanks, nothing after it, and few
// enough digits that no later sum can overflow.
bool wholeNumber(const std::string& text, bool signAllowed, int64_t& value) {
    const bool signed_ = signAllowed && !text.empty() && (text[0] == '-' || text[0] == '+');
    const bool negative = signed_ && text[0] == '-';
    size_t at = signed_ ? 1 : 0;
    const size_t count = text.size() - at;
    if (count == 0 || count > 15 || !digits(text, at, count, value)) return false;
    if (negative) value = -value;
    return true;
}

// Each stored name as its file has been written (-v).
struct NamesShown : ProgressDisplay {
    NamesShown(const FileList& listed, std::ostream& stream) : files(listed), err(stream) {}

    void update(const WriteProgress& progress) override {
        for (; shown < progress.filesDone; ++shown) {
            err << escapedName(storedNameOf(files[static_cast<size_t>(shown)])) << '\n';
        }
        err.flush();
    }

    const FileList& files;
    std::ostream& err;
    uint64_t shown = 0;
};

// A small first letter: zem's messages all begin so, the builder's texts included.
std::string inZemsCase(std::string text) {
    if (!text.empty()) text[0] = static_cast<char>(tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// The whole text of the -T list ("-": standard input).
std::string readList(const std::string& path) {
    if (path == "-") {
        std::cin >> std::noskipws;
        std::string text{std::istreambuf_iterator<char>(std::cin),
                         std::istreambuf_iterator<char>()};
        if (std::cin.bad()) fatalError("cannot read the list of files from standard input");
        return text;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) fatalError("cannot open the list of files \"" + path + "\": " + strerror(errno));
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) fatalError("cannot read the list of files \"" + path + "\"");
    return text;
}

// A relative FOLDER read in -C's DIR; an absolute one stays as it is, as tar's -C leaves it.
std::string inDirectory(const std::string& directory, const std::string& path) {
    if (directory.empty() || std::filesystem::path(path).has_root_path()) return path;
    std::string joined = rootPathFromArgument(directory);
    if (joined.empty()) joined = directory;  // the root itself
    if (joined.back() != nativeSeparator() && joined.back() != '/') joined += nativeSeparator();
    return joined + path;
}

// The stored name that a path of the -T list `listPath` names below FOLDER: "/" (and on Windows
// "\\") between folders, "." and empty components dropped, so "./a//b/" is "a\b" and "." the whole
// folder. A path that leads outside FOLDER, an absolute one or one with a ".." component, is
// refused (FatalError).
std::string listedStoredName(const std::string& path, const std::string& listPath) {
    if (std::filesystem::path(path).has_root_path()) {
        fatalError(listedPathText(path, listPath, "is an absolute path: list paths below FOLDER"));
    }
    std::string name;
    const std::string separators = nativeSeparator() == '/' ? "/" : "/\\";
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find_first_of(separators, start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            fatalError(
                listedPathText(path, listPath, "has a \"..\" component: list paths below FOLDER"));
        }
        if (!part.empty() && part != ".") {
            if (!name.empty()) name += '\\';
            name += part;
        }
        start = end + 1;
    }
    return name;
}

// The paths of a -T list: separated by line breaks, or NUL bytes with `nullSeparated`; empty ones
// are passed over.
std::vector<std::string> splitList(const std::string& text, bool nullSeparated) {
    const char separator = nullSeparated ? '\0' : '\n';
    std::vector<std::string> paths;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) paths.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return paths;
}

}  // namespace

bool parseTimeArgument(const std::string& text, int64_t localOffset, int64_t& utc) {
    if (text.empty()) return false;
    if (text[0] == '@') return wholeNumber(text.substr(1), true, utc);

    CalendarTime t;
    int64_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
    size_t at = 0;
    if (!digits(text, at, 4, t.year) || !expect(text, at, '-') || !digits(text, at, 2, month) ||
        !expect(text, at, '-') || !digits(text, at, 2, day)) {
        return false;
    }
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!digits(text, at, 2, hour) || !expect(text, at, ':') || !digits(text, at, 2, minute)) {
            return false;
        }
        if (at < text.size() && text[at] == ':') {
            ++at;
            if (!digits(text, at, 2, second)) return false;
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(t.year, static_cast<int>(month)) ||
        hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    t.month = static_cast<int>(month);
    t.day = static_cast<int>(day);
    t.hour = static_cast<int>(hour);
    t.minute = static_cast<int>(minute);
    t.second = static_cast<int>(second);

    int64_t offset = localOffset;
    if (at < text.size() && text[at] == 'Z') {
        offset = 0;
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int64_t sign = text[at] == '-' ? -1 : 1;
        ++at;
        int64_t zoneHours = 0, zoneMinutes = 0;
        if (!digits(text, at, 2, zoneHours) || !expect(text, at, ':') ||
            !digits(text, at, 2, zoneMinutes) || zoneHours > 23 || zoneMinutes > 59) {
            return false;
        }
        offset = sign * (zoneHours * 3600 + zoneMinutes * 60);
    }
    if (at != text.size()) return false;
    utc = secondsFromCalendar(t) - offset;
    return true;
}

TimeRule createTimeRule(const CreateArguments& arguments, const char* sourceDateEpoch,
                        int64_t localOffset) {
    TimeRule rule;
    rule.listedOffset = localOffset;
    rule.storedOffset = arguments.utc ? 0 : localOffset;
    const std::string epoch = sourceDateEpoch ? sourceDateEpoch : "";
    if (!arguments.mtime.empty()) {
        if (!parseTimeArgument(arguments.mtime, localOffset, rule.instant)) {
            throw UsageError(notATimeText(arguments.mtime));
        }
        rule.kind = arguments.clampMtime ? TimeRule::Kind::Clamp : TimeRule::Kind::Replace;
    } else if (!epoch.empty()) {
        // The reproducible-builds convention: a whole number of seconds, the latest time a
        // build's files may carry.
        if (!wholeNumber(epoch, false, rule.instant)) {
            throw UsageError(notAnEpochText(epoch));
        }
        rule.kind = TimeRule::Kind::Clamp;
    } else if (arguments.clampMtime) {
        throw UsageError(kClampNeedsTimeText);
    }
    if (rule.kind != TimeRule::Kind::Keep) {
        const int64_t year = calendarFromSeconds(rule.instant + rule.storedOffset).year;
        if (year < kFirstStoredYear || year > kLastStoredYear) {
            throw UsageError(
                yearOutOfRangeText(arguments.mtime.empty() ? "SOURCE_DATE_EPOCH" : "--mtime", year,
                                   kFirstStoredYear, kLastStoredYear));
        }
    }
    return rule;
}

int createCommand(const CreateArguments& arguments, std::ostream& err) {
    const bool listGiven = !arguments.filesFrom.empty();
    if (!arguments.folderGiven && !listGiven) throw UsageError(kMissingFolderText);
    // An empty name would be read as the file system's root.
    if (arguments.folderGiven && arguments.folder.empty()) {
        throw UsageError(kEmptyFolderText);
    }
    if (arguments.nullSeparated && !listGiven) throw UsageError(kNullNeedsListText);
    if (!arguments.folderGiven && arguments.output.empty()) {
        throw UsageError(kOutputNeededText);
    }
    PackRequest request;
    const std::string folder =
        inDirectory(arguments.directory, arguments.folderGiven ? arguments.folder : ".");
    request.folderArgument = folder;
    request.toStandardOutput = arguments.output == "-";
    request.namedOutput = !arguments.output.empty();
    request.archivePath =
        arguments.output.empty() ? rootPathFromArgument(folder) + ".zem" : arguments.output;
    // As tar does: what a terminal would show of an archive is of no use to anyone.
    if (request.toStandardOutput && standardOutputIsTerminal()) {
        throw UsageError(kTerminalOutputText);
    }
    request.scan.sortByName = arguments.sortByName;
    request.scan.excludes = arguments.excludes;
    request.namedOutput = !arguments.output.empty();
    if (!request.toStandardOutput) {
        request.scan.ownArchive = storedNameOfOutput(folder, request.archivePath);
    }
    request.scan.time = createTimeRule(arguments, std::getenv("SOURCE_DATE_EPOCH"), utcOffsetNow());
    // Files deeper than the scan goes are counted, to say how many were left out.
    DeepFiles deep;
    request.scan.deep = &deep;

    // -T: the paths as stored names, each with the path as listed, for the messages.
    PathSelection selection;
    std::map<std::string, std::string> listedAs;
    if (listGiven) {
        for (const std::string& path :
             splitList(readList(arguments.filesFrom), arguments.nullSeparated)) {
            const std::string name = listedStoredName(path, arguments.filesFrom);
            selection.names.insert(name);
            listedAs.emplace(name, path);
        }
        request.scan.selection = &selection;
    }

    // Nothing is asked: the list is only kept for the names -v shows.
    const FileList* listed = nullptr;
    PackCalls calls;
    calls.confirm = [&](const FileList& files) {
        listed = &files;
        for (const auto& [name, path] : listedAs) {
            if (!selection.met.count(name)) {
                printMessage(
                    err, listedPathText(path, arguments.filesFrom, "is not in \"" + folder + "\""));
                return false;
            }
        }
        if (deep.count > 0) {
            printMessage(err, leftOutDeepText(deep.count));
        }
        return true;
    };
    calls.startProgress = [&]() -> std::unique_ptr<ProgressDisplay> {
        if (arguments.verbose) return std::make_unique<NamesShown>(*listed, err);
        if (!arguments.quiet && standardErrorIsTerminal()) return startTerminalProgress();
        return nullptr;
    };
    calls.showError = [&](const std::string& text) { printMessage(err, inZemsCase(text)); };
    const PackResult result = packFolder(systemFileSystem(), request, calls);
    if (result.outcome != PackOutcome::Written) return kExitProblem;
    if (!result.warning.empty()) printMessage(err, zemWarningText(result.warning));
    return kExitOk;
}
