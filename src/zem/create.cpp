#include "zem/create.h"

#include <cstdlib>

#include "app/pack.h"
#include "app/progress_text.h"
#include "archive/format.h"
#include "archive/local_time.h"
#include "archive/stored_name.h"
#include "common/standard_streams.h"
#include "zem/commands.h"

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
            err << escapedName(files[static_cast<size_t>(shown)].storedName) << '\n';
        }
        err.flush();
    }

    const FileList& files;
    std::ostream& err;
    uint64_t shown = 0;
};

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
            throw UsageError("--mtime: \"" + arguments.mtime +
                             "\" is no time: give YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM|-HH:MM] or "
                             "@SECONDS");
        }
        rule.kind = arguments.clampMtime ? TimeRule::Kind::Clamp : TimeRule::Kind::Replace;
    } else if (!epoch.empty()) {
        // The reproducible-builds convention: a whole number of seconds, the latest time a
        // build's files may carry.
        if (!wholeNumber(epoch, false, rule.instant)) {
            throw UsageError("SOURCE_DATE_EPOCH: \"" + epoch +
                             "\" is no whole number of seconds since 1970-01-01 00:00:00 UTC");
        }
        rule.kind = TimeRule::Kind::Clamp;
    } else if (arguments.clampMtime) {
        throw UsageError("--clamp-mtime needs --mtime=WHEN or SOURCE_DATE_EPOCH");
    }
    if (rule.kind != TimeRule::Kind::Keep) {
        const int64_t year = calendarFromSeconds(rule.instant + rule.storedOffset).year;
        if (year < kFirstStoredYear || year > kLastStoredYear) {
            throw UsageError(
                std::string(arguments.mtime.empty() ? "SOURCE_DATE_EPOCH" : "--mtime") +
                " lies in " + std::to_string(year) + ", outside the years " +
                std::to_string(kFirstStoredYear) + " to " + std::to_string(kLastStoredYear) +
                " that an archive can store");
        }
    }
    return rule;
}

int createCommand(const CreateArguments& arguments, std::ostream& err) {
    // An empty name would be read as the file system's root.
    if (arguments.folder.empty()) throw UsageError("create: FOLDER is empty");
    PackRequest request;
    request.folderArgument = arguments.folder;
    request.toStandardOutput = arguments.output == "-";
    request.archivePath = arguments.output.empty() ? rootPathFromArgument(arguments.folder) + ".zem"
                                                   : arguments.output;
    // As tar does: what a terminal would show of an archive is of no use to anyone.
    if (request.toStandardOutput && standardOutputIsTerminal()) {
        throw UsageError(
            "won't write an archive to a terminal: redirect standard output or give "
            "-o FILE");
    }
    request.scan.sortByName = arguments.sortByName;
    request.scan.excludes = arguments.excludes;
    if (!request.toStandardOutput) {
        request.scan.ownArchive = storedNameOfOutput(arguments.folder, request.archivePath);
    }
    request.scan.time = createTimeRule(arguments, std::getenv("SOURCE_DATE_EPOCH"), utcOffsetNow());

    // Nothing is asked: the list is only kept for the names -v shows.
    const FileList* listed = nullptr;
    PackCalls calls;
    calls.confirm = [&](const FileList& files) {
        listed = &files;
        return true;
    };
    calls.startProgress = [&]() -> std::unique_ptr<ProgressDisplay> {
        if (arguments.verbose) return std::make_unique<NamesShown>(*listed, err);
        if (!arguments.quiet && standardErrorIsTerminal()) return startTerminalProgress();
        return nullptr;
    };
    calls.showError = [&](const std::string& text) { printMessage(err, text); };
    const PackResult result = packFolder(systemFileSystem(), request, calls);
    if (result.outcome != PackOutcome::Written) return kExitProblem;
    if (!result.warning.empty()) printMessage(err, "warning: " + result.warning);
    return kExitOk;
}
