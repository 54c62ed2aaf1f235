#include "zem/commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>

#include "common/fatal_error.h"
#include "common/standard_streams.h"
#include "common/utf8.h"
#include "format/local_time.h"
#include "format/reader.h"
#include "format/stored_name.h"
#include "ops/extract.h"
#include "ops/progress_text.h"
#include "ops/verify.h"
#include "platform/archive_file.h"
#include "platform/extract_fs.h"
#include "platform/file_system.h"
#include "platform/name_pattern.h"
#include "platform/scan.h"
#include "zem/create.h"
#include "zem/messages.h"
#include "zem/mount.h"

#ifndef ZEM_VERSION
#error "ZEM_VERSION must be defined by the build"
#endif

namespace {

// What messages call an archive read from standard input ("-").
constexpr const char* kStandardInputName = "standard input";

// Reads the archive ("-": standard input) and checks its structure, or ends the run naming it.
LoadedArchive loadArchive(const std::string& path) {
    LoadedArchive archive;
    if (path == "-") {
        // As tar does: a person typing is no archive.
        if (standardInputIsTerminal()) {
            throw UsageError(kTerminalInputText);
        }
        archive.path = kStandardInputName;
        archive.source = openArchiveStream();
        readArchiveRecords(archive);
        return archive;
    }
    readArchiveFile(path, archive);
    return archive;
}

std::string filesText(uint64_t count) {
    return std::to_string(count) + (count == 1 ? " file" : " files");
}

std::string bytesText(uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// A folder operand, read as zem-builder reads its argument. The file system's root alone trims
// to nothing, which the scan would read as the root but which names no folder to print or open:
// it stays as given.
std::string folderOperand(const std::string& operand) {
    const std::string root = rootPathFromArgument(operand);
    return root.empty() ? operand : root;
}

// A number right-aligned in `width` columns.
std::string column(uint64_t value, size_t width) {
    std::string text = std::to_string(value);
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

// The text as a JSON string. JSON holds Unicode text only: a byte that is no part of valid UTF-8
// becomes U+FFFD there (the exact bytes go alongside, see listJson).
std::string jsonString(const std::string& text) {
    std::string json = "\"";
    for (size_t at = 0; at < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8Sequence(text, at, codePoint);
        if (length == 0) {
            json += "\\ufffd";
            ++at;
            continue;
        }
        if (codePoint == '"' || codePoint == '\\') {
            json += '\\';
            json += static_cast<char>(codePoint);
        } else if (codePoint < 0x20 || codePoint == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(codePoint));
            json += escape;
        } else {
            json.append(text, at, length);
        }
        at += length;
    }
    return json + '"';
}

bool validUtf8(const std::string& text) {
    uint32_t codePoint = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8Sequence(text, at, codePoint);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

// One JSON object per line in an array: name, size, stored time (ISO 8601 local time without a
// zone, or null), data offset; and for a name that isn't valid UTF-8 its exact bytes as numbers.
void listJson(const LoadedArchive& archive, std::ostream& out) {
    out << "[";
    const char* separator = "\n";
    for (const ArchiveRecord& r : archive.records) {
        out << separator << "{\"name\":" << jsonString(r.name);
        if (!validUtf8(r.name)) {
            out << ",\"name_bytes\":[";
            for (size_t i = 0; i < r.name.size(); ++i) {
                out << (i ? "," : "")
                    << static_cast<unsigned>(static_cast<unsigned char>(r.name[i]));
            }
            out << "]";
        }
        out << ",\"size\":" << r.length << ",\"time\":";
        if (r.time.present()) {
            std::string time = formatStoredTime(r.time);
            std::replace(time.begin(), time.end(), ' ', 'T');
            out << '"' << time << '"';
        } else {
            out << "null";
        }
        out << ",\"offset\":" << r.dataOffset << "}";
        separator = ",\n";
    }
    out << "\n]\n";
}

struct ListArguments {
    std::string archive;
    bool verbose = false;
    bool json = false;
};

int listCommand(const ListArguments& a, std::ostream& out) {
    const LoadedArchive archive = loadArchive(a.archive);
    if (a.json) {
        listJson(archive, out);
        return kExitOk;
    }
    uint64_t bytes = 0;
    for (const ArchiveRecord& r : archive.records) {
        std::string time = formatStoredTime(r.time);
        time.resize(19, ' ');
        out << column(r.length, 10) << "  " << time << "  ";
        if (a.verbose) out << column(r.dataOffset, 10) << "  ";
        out << escapedName(r.name) << '\n';
        bytes += r.length;
    }
    if (a.verbose) {
        out << filesText(archive.records.size()) << ", " << bytesText(bytes) << '\n';
    }
    return kExitOk;
}

// The progress line on standard error, when it is a terminal and nothing else goes there.
std::unique_ptr<ProgressDisplay> terminalProgress(const std::string& label) {
    return standardErrorIsTerminal() ? startTerminalProgress(label) : nullptr;
}

int verifyCommand(const std::string& archivePath, const std::string* folderArg, std::ostream& out,
                  std::ostream& err) {
    LoadedArchive archive = loadArchive(archivePath);
    checkArchiveNames(archive);
    const std::string& shownPath = archive.path;
    const std::vector<ArchiveRecord>& records = archive.records;
    if (!folderArg) {
        out << escapedText(shownPath + ": " + filesText(records.size()) + ", structure sound")
            << '\n';
        return kExitOk;
    }

    const std::string root = folderOperand(*folderArg);
    std::unique_ptr<ProgressDisplay> progress = terminalProgress("Comparing");
    const std::vector<std::string> differences = folderDifferences(archive, root, progress.get());
    progress.reset();  // its line ends before the report
    for (const std::string& line : differences) printMessage(err, line);
    if (!differences.empty()) {
        printMessage(err,
                     shownPath + " and " + root + " differ in " + filesText(differences.size()));
        return kExitProblem;
    }
    out << escapedText(shownPath + ": " + filesText(records.size()) + ", all match " + root)
        << '\n';
    return kExitOk;
}

struct ExtractArguments {
    std::string archive;
    std::vector<std::string> operands;  // [DEST], or with -C the names to extract
    std::string directory;              // -C
    bool directoryGiven = false;
    bool force = false;
    bool keep = false;
    bool verbose = false;
    int stripComponents = 0;
};

// Each stored name once its file is in place (-v), on standard output as tar -xv has it.
struct ExtractedNamesShown : ProgressDisplay {
    ExtractedNamesShown(const std::vector<ArchiveRecord>& extracted, std::ostream& stream)
        : records(extracted), out(stream) {}

    void update(const WriteProgress& progress) override {
        for (; shown < progress.filesDone; ++shown) {
            out << escapedName(records[static_cast<size_t>(shown)].name) << '\n';
        }
        out.flush();
    }

    const std::vector<ArchiveRecord>& records;
    std::ostream& out;
    uint64_t shown = 0;
};

// DEST without -C, when it is no folder: `zem extract a.zem a.txt`, as tar and unzip take names,
// would otherwise make a folder "a.txt" and extract everything into it.
void refuseNameAsDestination(const LoadedArchive& archive, const std::string& operand,
                             const std::string& dest) {
    const bool stored =
        std::any_of(archive.records.begin(), archive.records.end(),
                    [&](const ArchiveRecord& r) { return matchesPathOrFolder(operand, r.name); });
    const bool pattern = operand.find_first_of("*?[") != std::string::npos;
    if (!stored && !pattern) return;
    // A path the system can't even look at (Windows takes no "*" in a name) is no folder. A folder,
    // or a link that may lead to one, is the destination the user named.
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status own = fs::symlink_status(dest, error);
    if (fs::is_directory(own) || (fs::is_symlink(own) && !isRegularFile(dest))) return;
    if (!stored && fs::exists(own)) return;
    throw UsageError(nameAsDestinationText(operand, stored));
}

int extractCommand(const ExtractArguments& a, std::ostream& out, std::ostream& err) {
    const bool names = a.directoryGiven;
    if (!names && a.operands.size() > 1) {
        throw UsageError(namesNeedDirectoryText(a.operands[1]));
    }
    if (a.force && a.keep) throw UsageError(excludeEachOtherText("extract", "-f", "-k"));
    LoadedArchive archive = loadArchive(a.archive);
    checkArchiveNames(archive);
    std::string path;
    const bool chosen = !names && a.operands.empty();
    if (names) {
        path = folderOperand(a.directory);
    } else if (!chosen) {
        path = folderOperand(a.operands[0]);
        refuseNameAsDestination(archive, a.operands[0], path);
    } else if (a.archive == "-") {
        throw UsageError(kStandardInputDestinationText);
    } else {
        try {
            path = defaultDestination(a.archive);
        } catch (const InputFault& fault) {
            throw UsageError(archiveDestinationText(a.archive, fault.finding));
        }
    }
    if (names) selectRecords(archive, a.operands);
    stripComponents(archive, a.stripComponents);
    Destination dest = findDestination(path, chosen);
    // -k: whatever is already at a file's name stays, and the file is passed over.
    std::vector<size_t> keptRecords;
    checkDestination(dest, archive, a.force, a.keep ? &keptRecords : nullptr);
    const std::vector<std::string> kept = takeOutKept(archive, keptRecords);
    std::unique_ptr<ProgressDisplay> progress;
    if (a.verbose) {
        progress = std::make_unique<ExtractedNamesShown>(archive.records, out);
    } else {
        progress = terminalProgress("Extracting");
    }
    extractArchive(archive, dest, a.force, progress.get(),
                   [&](const std::string& warning) { printMessage(err, zemWarningText(warning)); });
    progress.reset();
    if (a.verbose) {
        for (const std::string& name : kept) out << escapedName(name) << " (kept: it exists)\n";
        out << filesText(archive.records.size()) << ", "
            << bytesText(progressOf(archive.records).byteCount) << " extracted";
        if (!kept.empty()) out << ", " << filesText(kept.size()) << " kept";
        out << '\n';
    }
    return kExitOk;
}

// The selected files' bytes one after the other on standard output, raw (no text-mode
// translation), in archive order.
int catCommand(const std::string& archivePath, const std::vector<std::string>& names) {
    LoadedArchive archive = loadArchive(archivePath);
    checkArchiveNames(archive);
    selectRecords(archive, names);
    writeToStandardOutput(archive);
    return kExitOk;
}

// The command line. Each subcommand is added by one function that declares its options and sets
// the callback that chooses what runs; the command itself runs once the whole line is parsed and
// found sound. Values live in shared_ptrs owned by the callback, since CLI11 writes them during
// the parse that precedes it.
struct Run {
    std::ostream& out;
    std::ostream& err;
    std::function<int()> command;
};

constexpr const char* kStatusFooter =
    "Exit status: 0 success, 1 a problem was found (a damaged archive, a difference,\n"
    "a refused name, a failed read or write), 2 a wrong command line.";

constexpr const char* kArchiveHelp = "the .zem archive; - reads it from standard input";

// A whole number of at most nine digits, for an option's value; throws CLI11's ValidationError.
int wholeNumberOption(const std::string& option, const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw CLI::ValidationError(option, "\"" + text + "\" is not a whole number");
    }
    return std::stoi(text);
}

void addListCommand(CLI::App& app, Run& run) {
    CLI::App* list = app.add_subcommand("list", "print each file's size, stored time and name");
    list->footer(
        "The files come in archive order; times are the stored local times. --json gives\n"
        "name, size, time (null when none) and offset of each file; a name that is not\n"
        "valid UTF-8 shows U+FFFD for each stray byte and comes with \"name_bytes\".");
    auto a = std::make_shared<ListArguments>();
    list->add_option("ARCHIVE", a->archive, kArchiveHelp)->required()->type_name("");
    list->add_flag("-v,--verbose", a->verbose, "also each file's data offset, and the totals");
    list->add_flag("--json", a->json, "a JSON array, one object per file, for scripts");
    list->callback([&run, a] { run.command = [&run, a] { return listCommand(*a, run.out); }; });
}

void addVerifyCommand(CLI::App& app, Run& run) {
    CLI::App* verify =
        app.add_subcommand("verify", "check an archive, or compare it with its folder");
    verify->footer(
        "Checks the archive's structure; with FOLDER, also compares every stored file with\n"
        "FOLDER's file of that name, byte for byte, and reports files missing on either side,\n"
        "those below the tenth level of subfolders included, which packing leaves out.");
    auto archive = std::make_shared<std::string>();
    auto folder = std::make_shared<std::string>();
    verify->add_option("ARCHIVE", *archive, kArchiveHelp)->required()->type_name("");
    const CLI::Option* given =
        verify->add_option("FOLDER", *folder, "the folder it was made from")->type_name("");
    verify->callback([&run, archive, folder, given] {
        const bool compare = given->count() > 0;
        run.command = [&run, archive, folder, compare] {
            return verifyCommand(*archive, compare ? folder.get() : nullptr, run.out, run.err);
        };
    });
}

void addExtractCommand(CLI::App& app, Run& run) {
    CLI::App* extract = app.add_subcommand("extract", "recreate the stored files in a folder");
    extract->footer(
        "zem extract [OPTIONS] ARCHIVE [DEST]            every file, into DEST\n"
        "zem extract [OPTIONS] ARCHIVE -C DEST NAME...   only what the NAMEs select\n"
        "DEST defaults to ARCHIVE without .zem, beside it. A NAME is a stored name or a\n"
        "shell pattern (* ? [...]; * spans folders), with \\ or / between folders; a\n"
        "folder's name selects all it holds. A DEST that is not a folder but a stored name\n"
        "or a pattern is refused: give -C. Every name is checked first: nothing is\n"
        "written outside DEST or through a link, and an existing file ends the run before\n"
        "anything is written, unless -f replaces it or -k keeps it.");
    auto a = std::make_shared<ExtractArguments>();
    extract->add_option("ARCHIVE", a->archive, kArchiveHelp)->required()->type_name("");
    extract->add_option("DEST|NAME", a->operands, "DEST; with -C, the NAMEs to extract")
        ->type_name("");
    const CLI::Option* directory =
        extract->add_option("-C,--directory", a->directory, "extract into DEST")->type_name("DEST");
    extract->add_flag("-f,--force", a->force, "replace files that already exist");
    extract->add_flag("-k,--keep-old-files", a->keep,
                      "leave files that already exist as they are,\n"
                      "and extract the others");
    extract
        ->add_option_function<std::string>(
            "--strip-components",
            [a](const std::string& n) {
                a->stripComponents = wholeNumberOption("--strip-components", n);
            },
            "take the first N folders off each stored\n"
            "name; files in fewer are left out")
        ->type_name("N");
    extract->add_flag("-v,--verbose", a->verbose,
                      "name each file on standard output once it is\n"
                      "in place, then the totals");
    extract->callback([&run, a, directory] {
        a->directoryGiven = directory->count() > 0;
        run.command = [&run, a] { return extractCommand(*a, run.out, run.err); };
    });
}

void addCatCommand(CLI::App& app, Run& run) {
    CLI::App* cat = app.add_subcommand("cat", "write stored files to standard output");
    cat->footer(
        "Writes the files the NAMEs select (as extract -C takes them) one after the other,\n"
        "in archive order.");
    auto archive = std::make_shared<std::string>();
    auto names = std::make_shared<std::vector<std::string>>();
    cat->add_option("ARCHIVE", *archive, kArchiveHelp)->required()->type_name("");
    cat->add_option("NAME", *names, "stored names or patterns")->required()->type_name("");
    cat->callback([&run, archive, names] {
        run.command = [archive, names] { return catCommand(*archive, *names); };
    });
}

void addCreateCommand(CLI::App& app, Run& run) {
    CLI::App* create = app.add_subcommand("create", "write an archive of a folder, asking nothing");
    create->footer(
        "Lists FOLDER as zem-builder does (ten levels of subfolders, links followed,\n"
        "special files skipped) and writes the same bytes; it says how many files lay\n"
        "deeper and were left out. Permissions, empty folders and links themselves are\n"
        "not stored. SOURCE_DATE_EPOCH (seconds since 1970 UTC), when set, not empty and\n"
        "no --mtime is given, caps every stored time at it.\n"
        "The same archive from the same files on any machine:\n"
        "  zem create --sort=name --mtime=@SECONDS --utc -o FILE FOLDER");
    auto a = std::make_shared<CreateArguments>();
    const CLI::Option* folder =
        create->add_option("FOLDER", a->folder, "the folder to pack (with -T: . unless given)")
            ->type_name("");
    create
        ->add_option("-o,--output", a->output,
                     "the archive (default: FOLDER.zem), replaced\n"
                     "atomically; - writes to standard output, where a\n"
                     "failure part way leaves a partial archive to discard")
        ->type_name("FILE");
    create
        ->add_option("-C,--directory", a->directory,
                     "read FOLDER (and -T's paths) in DIR; -o and the\n"
                     "list itself are still found from here")
        ->type_name("DIR");
    create
        ->add_option("-T,--files-from", a->filesFrom,
                     "pack only the files and folders listed in FILE\n"
                     "(- for standard input), one path below FOLDER a line")
        ->type_name("FILE");
    create->add_flag("--null", a->nullSeparated, "the list's paths end in a NUL byte, not a line");
    create
        ->add_option_function<std::string>(
            "--sort",
            [a](const std::string& order) {
                if (order != "none" && order != "name") {
                    throw CLI::ValidationError("--sort",
                                               "\"" + order + "\" is neither name nor none");
                }
                a->sortByName = order == "name";
            },
            "name: each folder's entries in byte order of\n"
            "their names; none (default): as listed")
        ->type_name("ORDER");
    create
        ->add_option("--exclude", a->excludes,
                     "leave out what has a name or a path below FOLDER\n"
                     "(with /) that matches the shell pattern; repeatable")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
    create
        ->add_option("--mtime", a->mtime,
                     "store this time for every file:\n"
                     "YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM|-HH:MM] (local\n"
                     "time without a zone) or @SECONDS since 1970 UTC")
        ->type_name("WHEN");
    create->add_flag("--clamp-mtime", a->clampMtime,
                     "only for the files newer than WHEN (--mtime,\n"
                     "or else SOURCE_DATE_EPOCH)");
    create->add_flag("--utc", a->utc, "store UTC times instead of local ones");
    create->add_flag("-v,--verbose", a->verbose, "name each file on standard error");
    create->add_flag("-q,--quiet", a->quiet, "show nothing but errors and warnings");
    create->callback([&run, a, folder] {
        a->folderGiven = folder->count() > 0;
        run.command = [&run, a] {
            if (a->verbose && a->quiet)
                throw UsageError(excludeEachOtherText("create", "-v", "-q"));
            return createCommand(*a, run.err);
        };
    });
}

void addMountCommands(CLI::App& app, Run& run) {
    CLI::App* mount = app.add_subcommand("mount", "show an archive's files as a read-only folder");
    mount->footer(
        "Checks the archive as extract does, then mounts it read-only under MOUNTPOINT\n"
        "(Linux, FUSE) and returns once its files are there; a background process serves\n"
        "them until zem unmount MOUNTPOINT (or fusermount3 -u MOUNTPOINT).");
    auto archive = std::make_shared<std::string>();
    auto mountPoint = std::make_shared<std::string>();
    auto foreground = std::make_shared<bool>(false);
    mount->add_option("ARCHIVE", *archive, "the .zem archive")->required()->type_name("");
    mount->add_option("MOUNTPOINT", *mountPoint, "the folder to show them in")
        ->required()
        ->type_name("");
    mount->add_flag("-f,--foreground", *foreground,
                    "serve in the foreground until unmounted,\n"
                    "Ctrl-C or SIGTERM");
    mount->callback([&run, archive, mountPoint, foreground] {
        run.command = [&run, archive, mountPoint, foreground] {
            return mountCommand(*archive, *mountPoint, *foreground, run.err);
        };
    });

    CLI::App* unmount = app.add_subcommand("unmount", "unmount an archive mounted by zem mount");
    auto point = std::make_shared<std::string>();
    unmount->footer("Unmounts only what zem mount mounted there, as fusermount3 -u does.");
    unmount->add_option("MOUNTPOINT", *point, "where it is mounted")->required()->type_name("");
    unmount->callback(
        [&run, point] { run.command = [&run, point] { return unmountCommand(*point, run.err); }; });
}

// The first argument that isn't one of the top level's own options: the command.
std::string commandOf(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") return i + 1 < args.size() ? args[i + 1] : std::string();
        if (args[i].size() < 2 || args[i][0] != '-') return args[i];
    }
    return std::string();
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// CLI11's words for a wrong command line, in zem's: "COMMAND: what is wrong", small letters.
std::string usageText(const CLI::ParseError& error, const std::string& command) {
    std::string text = error.what();
    // An option's own complaint ("--sort: ...") names the option, which says enough.
    const std::string prefix = command.empty() || text.rfind("-", 0) == 0 ? "" : command + ": ";
    if (text == "A subcommand is required") return kNoCommandText;
    // "ARCHIVE is required"
    if (endsWith(text, " is required")) {
        return prefix + "missing " +
               text.substr(0, text.size() - std::string(" is required").size());
    }
    // "--output: 1 required FILE missing"
    const std::string required = ": 1 required ";
    const size_t at = text.find(required);
    if (at != std::string::npos && endsWith(text, " missing")) {
        const size_t type = at + required.size();
        return prefix + text.substr(0, at) + " needs " +
               text.substr(type, text.size() - std::string(" missing").size() - type);
    }
    // "--output: At Most 1 required but received 2"
    const std::string atMost = ": At Most 1 required but received ";
    const size_t many = text.find(atMost);
    if (many != std::string::npos) {
        return prefix + text.substr(0, many) + " is given " + text.substr(many + atMost.size()) +
               " times, where it takes one";
    }
    if (!text.empty()) text[0] = static_cast<char>(tolower(static_cast<unsigned char>(text[0])));
    return prefix + text;
}

}  // namespace

void printMessage(std::ostream& err, const std::string& text) {
    err << "zem: " << escapedText(text) << '\n';
}

int runZem(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Run run{out, err, {}};
    CLI::App app("Lists, checks, extracts, creates and mounts .zem archives.", "zem");
    app.set_version_flag("--version", std::string("zem ") + ZEM_VERSION);
    app.require_subcommand(1);
    app.footer(kStatusFooter);
    app.get_formatter()->column_width(24);
    app.get_formatter()->label("REQUIRED", "");
    addListCommand(app, run);
    addVerifyCommand(app, run);
    addExtractCommand(app, run);
    addCatCommand(app, run);
    addCreateCommand(app, run);
    addMountCommands(app, run);
    // What no option or operand takes is reported in zem's words, below, not CLI11's.
    app.allow_extras();
    for (CLI::App* sub : app.get_subcommands({})) sub->allow_extras();

    std::string command;
    try {
        command = commandOf(args);
        if (!command.empty() &&
            app.get_subcommands([&](CLI::App* sub) { return sub->get_name() == command; })
                .empty()) {
            const std::string unknown = command;
            command.clear();  // the help to point to is the top level's
            throw UsageError(unknownCommandText(unknown));
        }
        if (args.empty()) throw UsageError(kNoCommandText);
        std::vector<std::string> reversed(args.rbegin(), args.rend());  // as CLI11 takes them
        app.parse(reversed);
        const std::vector<CLI::App*> chosen = app.get_subcommands();
        for (CLI::App* level : {&app, chosen.empty() ? &app : chosen.front()}) {
            // CLI11 leaves the "--" that ends the options among them.
            for (const std::string& extra : level->remaining()) {
                if (extra == "--") continue;
                if (level == &app) command.clear();  // not the command's: zem's own
                throw UsageError(extraArgumentText(extra, command));
            }
        }
        if (!run.command) throw UsageError(kNoCommandText);
        return run.command();
    } catch (const CLI::CallForVersion& e) {
        out << e.what() << '\n';
        return kExitOk;
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        // "zem -x": an unknown option of zem's own says more than the missing command.
        std::string text = usageText(e, command);
        for (const std::string& extra : app.remaining()) {
            if (command.empty() && extra != "--") {
                text = extraArgumentText(extra, command);
                break;
            }
        }
        printMessage(err, text);
        err << tryHelpText(command) << '\n';
        return kExitUsage;
    } catch (const UsageError& e) {
        printMessage(err, e.what());
        err << tryHelpText(command) << '\n';
        return kExitUsage;
    } catch (const FatalError& e) {
        printMessage(err, e.what());
        return kExitProblem;
    } catch (const std::bad_alloc&) {
        // A fixed text: building a message could run out again.
        err << kOutOfMemoryLine;
        return kExitProblem;
    }
}
