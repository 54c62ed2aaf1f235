#pragma once
// zem create: an archive of a folder from a script, with no questions, through the builder's own
// packing sequence (ops/pack.h), and the same bytes from the same input on any machine when asked.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/scan.h"

struct CreateArguments {
    std::string folder;
    bool folderGiven = false;  // with -T, FOLDER may be left out: "."
    std::string directory;  // -C: FOLDER and the listed paths are read in it; empty when not given
    std::string filesFrom;  // -T: the list of paths to pack; "-" standard input
    bool nullSeparated = false;
    std::string output;  // empty: FOLDER with ".zem" appended; "-": standard output
    bool sortByName = false;
    std::vector<std::string> excludes;
    std::string mtime;  // empty when not given
    bool clampMtime = false;
    bool utc = false;
    bool verbose = false;
    bool quiet = false;
};

// The seconds since 1970-01-01 00:00:00 UTC that WHEN names: "@SECONDS" (a sign allowed), or
// "YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM|-HH:MM]" (a space may stand for the T). Without a zone it is
// local time, read with `localOffset`: the shift the archive's own times get, so a date without a
// zone comes out in the archive exactly as written. False when the text is no such time.
bool parseTimeArgument(const std::string& text, int64_t localOffset, int64_t& utc);

// How the files' times are stored: --mtime replaces them (or with --clamp-mtime caps them); else a
// SOURCE_DATE_EPOCH (sourceDateEpoch, null or empty when unset) caps them; --utc stores the UTC
// calendar time instead of the local one. localOffset is the UTC offset in force. Throws
// UsageError for a time that can't be read or stored.
TimeRule createTimeRule(const CreateArguments& arguments, const char* sourceDateEpoch,
                        int64_t localOffset);

// Runs zem create; names (with -v) and messages go to err. Returns the exit code.
int createCommand(const CreateArguments& arguments, std::ostream& err);
