#include "zem/commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <new>
#include <set>

#include "archive/archive_file.h"
#include "archive/atomic_file.h"
#include "archive/fatal_error.h"
#include "archive/input_file.h"
#include "archive/local_time.h"
#include "archive/reader.h"
#include "archive/stored_name.h"
#include "common/standard_streams.h"
#include "scan/file_system.h"
#include "scan/name_pattern.h"
#include "scan/scan.h"
#include "zem/create.h"
#include "zem/extract.h"
#include "zem/extract_fs.h"
#include "zem/mount.h"

#ifndef ZEM_VERSION
#error "ZEM_VERSION must be defined by the build"
#endif

namespace {

// Reads the archive and checks its structure, or ends the run naming it.
LoadedArchive loadArchive(const std::string& path) {
    LoadedArchive archive;
    const std::string problem = readArchiveFile(path, archive);
    if (!problem.empty()) fatalError(path + ": " + problem);
    return archive;
}

void checkNames(const LoadedArchive& archive) {
    const std::string problem = storedNamesProblem(archive);
    if (!problem.empty()) fatalError(archive.path + ": " + problem);
}

std::string filesText(size_t count) {
    return std::to_string(count) + (count == 1 ? " file" : " files");
}

// A folder operand, read as zem-builder reads its argument. The file system's root alone trims
// to nothing, which the scan would read as the root but which names no folder to print or open:
// it stays as given.
std::string folderOperand(const std::string& operand) {
    const std::string root = rootPathFromArgument(operand);
    return root.empty() ? operand : root;
}

int listCommand(const std::string& archivePath, std::ostream& out) {
    const LoadedArchive archive = loadArchive(archivePath);
    for (const ArchiveRecord& r : archive.records) {
        std::string size = std::to_string(r.length);
        if (size.size() < 10) size.insert(0, 10 - size.size(), ' ');
        std::string time = formatStoredTime(r.time);
        time.resize(19, ' ');
        out << size << "  " << time << "  " << escapedName(r.name) << '\n';
    }
    return kExitOk;
}

// Compares one stored file with the folder's file; empty when they match, else the difference.
std::string compareFile(LoadedArchive& archive, const ArchiveRecord& r, const FileEntry& onDisk,
                        std::vector<char>& a, std::vector<char>& b) {
    if (onDisk.size != r.length) {
        return std::to_string(r.length) + " bytes in the archive, " + std::to_string(onDisk.size) +
               " in \"" + onDisk.path + "\"";
    }
    InputFile in;
    if (!openInputFile(onDisk.path, in)) return "cannot open \"" + onDisk.path + "\"";
    std::string difference;
    forEachStoredPiece(archive, r, a, [&](const char* data, size_t size, uint64_t at) {
        if (readInputFile(in, b.data(), size) != size) {
            difference = "cannot read \"" + onDisk.path + "\"";
            return false;
        }
        const auto mismatch = std::mismatch(data, data + size, b.data());
        if (mismatch.first != data + size) {
            difference = "differs from \"" + onDisk.path + "\" at byte " +
                         std::to_string(at + static_cast<uint64_t>(mismatch.first - data));
            return false;
        }
        return true;
    });
    return difference;
}

int verifyCommand(const std::string& archivePath, const std::string* folderArg, std::ostream& out,
                  std::ostream& err) {
    LoadedArchive archive = loadArchive(archivePath);
    checkNames(archive);
    const std::vector<ArchiveRecord>& records = archive.records;
    if (!folderArg) {
        out << escapedText(archivePath + ": " + filesText(records.size()) + ", structure sound")
            << '\n';
        return kExitOk;
    }

    const std::string root = folderOperand(*folderArg);
    FileList files;
    bool listed = false;
    try {
        listed = scanFolder(systemFileSystem(), root, files);
    } catch (const std::bad_alloc&) {
        FileList().swap(files);  // its memory back, for the message
        fatalError("out of memory listing folder \"" + root + "\"");
    }
    if (!listed) fatalError("cannot list folder \"" + root + "\"");
    std::map<std::string, const FileEntry*> onDisk;
    for (const FileEntry& e : files) {
        if (!e.nameHoldsBackslash) onDisk.emplace(e.storedName, &e);
    }

    std::vector<char> a(kStoredPieceSize), b(kStoredPieceSize);
    size_t differences = 0;
    const auto report = [&](const std::string& name, const std::string& text) {
        printMessage(err, quotedName(name) + ": " + text);
        ++differences;
    };
    std::set<std::string> stored;
    for (const ArchiveRecord& r : records) {
        stored.insert(r.name);
        const auto it = onDisk.find(r.name);
        if (it == onDisk.end()) {
            report(r.name, "in the archive, not in the folder");
            continue;
        }
        const std::string difference = compareFile(archive, r, *it->second, a, b);
        if (!difference.empty()) report(r.name, difference);
    }
    for (const FileEntry& e : files) {
        // Such a name reads like a path of subfolders: it matches no stored name, since an
        // archive can't hold it faithfully, and is named by its path, as no stored name tells it.
        if (e.nameHoldsBackslash) {
            printMessage(err, "\"" + e.path +
                                  "\": in the folder, holds a backslash in a name, which an "
                                  "archive would read back as a subfolder");
            ++differences;
        } else if (!stored.count(e.storedName)) {
            report(e.storedName, "in the folder, not in the archive");
        }
    }
    if (differences > 0) {
        printMessage(err, archivePath + " and " + root + " differ in " + filesText(differences));
        return kExitProblem;
    }
    out << escapedText(archivePath + ": " + filesText(records.size()) + ", all match " + root)
        << '\n';
    return kExitOk;
}

struct ExtractArguments {
    std::string archive;
    std::vector<std::string> operands;  // [DEST], or with -C the names to extract
    std::string directory;              // -C
    bool directoryGiven = false;
    bool force = false;
};

int extractCommand(const ExtractArguments& a, std::ostream& err) {
    const bool names = a.directoryGiven;
    if (!names && a.operands.size() > 1) {
        throw UsageError("extract: give the folder with -C DEST to extract only some files (\"" +
                         a.operands[1] + "\")");
    }
    LoadedArchive archive = loadArchive(a.archive);
    checkNames(archive);
    std::string path;
    const bool chosen = !names && a.operands.empty();
    if (names) {
        path = folderOperand(a.directory);
    } else if (!chosen) {
        path = folderOperand(a.operands[0]);
    } else {
        const DefaultDestination beside = defaultDestination(a.archive);
        if (beside.folder.empty()) {
            throw UsageError("can't name a folder to extract \"" + a.archive + "\" into, as " +
                             beside.problem + ": give DEST");
        }
        path = beside.folder;
    }
    if (names) selectRecords(archive, a.operands);
    Destination dest = findDestination(path, chosen);
    checkDestination(dest, archive, a.force);
    extractArchive(archive, dest, a.force, nullptr,
                   [&](const std::string& warning) { printMessage(err, "warning: " + warning); });
    return kExitOk;
}

// The selected files' bytes one after the other on standard output, raw (no text-mode
// translation), in archive order.
int catCommand(const std::string& archivePath, const std::vector<std::string>& names) {
    LoadedArchive archive = loadArchive(archivePath);
    checkNames(archive);
    selectRecords(archive, names);
    const intptr_t out = standardOutputFile();
    std::vector<char> buffer(kStoredPieceSize);
    for (const ArchiveRecord& r : archive.records) {
        forEachStoredPiece(archive, r, buffer, [&](const char* data, size_t size, uint64_t) {
            if (out < 0 || !writeWhole(out, data, size)) {
                fatalError("cannot write to standard output: " +
                           systemErrorText(lastSystemError()));
            }
            return true;
        });
    }
    return kExitOk;
}

// The command line. Each subcommand is added by one function that declares its options and sets
// the callback that runs it; the callback records the exit code. Values live in shared_ptrs owned
// by the callback, since CLI11 writes them during the parse that precedes it.
struct Run {
    std::ostream& out;
    std::ostream& err;
    int exitCode = kExitOk;
};

constexpr const char* kStatusFooter =
    "Exit status: 0 success, 1 a problem was found (a damaged archive, a difference,\n"
    "a refused name, a failed read or write), 2 a wrong command line.";

void addListCommand(CLI::App& app, Run& run) {
    CLI::App* list = app.add_subcommand("list", "print each file's size, stored time and name");
    list->footer("The files come in archive order; times are the stored local times.");
    auto archive = std::make_shared<std::string>();
    list->add_option("ARCHIVE", *archive, "the .zem archive")->required()->type_name("");
    list->callback([&run, archive] { run.exitCode = listCommand(*archive, run.out); });
}

void addVerifyCommand(CLI::App& app, Run& run) {
    CLI::App* verify =
        app.add_subcommand("verify", "check an archive, or compare it with its folder");
    verify->footer(
        "Checks the archive's structure; with FOLDER, also compares every stored file with\n"
        "FOLDER's file of that name, byte for byte, and reports files missing on either side.");
    auto archive = std::make_shared<std::string>();
    auto folder = std::make_shared<std::string>();
    verify->add_option("ARCHIVE", *archive, "the .zem archive")->required()->type_name("");
    const CLI::Option* given =
        verify->add_option("FOLDER", *folder, "the folder it was made from")->type_name("");
    verify->callback([&run, archive, folder, given] {
        run.exitCode =
            verifyCommand(*archive, given->count() > 0 ? folder.get() : nullptr, run.out, run.err);
    });
}

void addExtractCommand(CLI::App& app, Run& run) {
    CLI::App* extract = app.add_subcommand("extract", "recreate the stored files in a folder");
    extract->footer(
        "zem extract [-f] ARCHIVE [DEST]            every file, into DEST\n"
        "zem extract [-f] ARCHIVE -C DEST NAME...   only what the NAMEs select\n"
        "DEST defaults to ARCHIVE without .zem, beside it. A NAME is a stored name or a\n"
        "shell pattern (* ? [...]; * spans folders), with \\ or / between folders; a\n"
        "folder's name selects all it holds. Every name is checked first: nothing is\n"
        "written outside DEST or through a link, and existing files are kept unless -f.");
    auto a = std::make_shared<ExtractArguments>();
    extract->add_option("ARCHIVE", a->archive, "the .zem archive")->required()->type_name("");
    extract->add_option("DEST|NAME", a->operands, "DEST; with -C, the NAMEs to extract")
        ->type_name("");
    const CLI::Option* directory =
        extract->add_option("-C,--directory", a->directory, "extract into DEST")->type_name("DEST");
    extract->add_flag("-f,--force", a->force, "replace files that already exist");
    extract->callback([&run, a, directory] {
        a->directoryGiven = directory->count() > 0;
        run.exitCode = extractCommand(*a, run.err);
    });
}

void addCatCommand(CLI::App& app, Run& run) {
    CLI::App* cat = app.add_subcommand("cat", "write stored files to standard output");
    cat->footer(
        "Writes the files the NAMEs select (as extract -C takes them) one after the other,\n"
        "in archive order.");
    auto archive = std::make_shared<std::string>();
    auto names = std::make_shared<std::vector<std::string>>();
    cat->add_option("ARCHIVE", *archive, "the .zem archive")->required()->type_name("");
    cat->add_option("NAME", *names, "stored names or patterns")->required()->type_name("");
    cat->callback([&run, archive, names] { run.exitCode = catCommand(*archive, *names); });
}

void addCreateCommand(CLI::App& app, Run& run) {
    CLI::App* create = app.add_subcommand("create", "write an archive of a folder, asking nothing");
    create->footer(
        "Lists FOLDER as zem-builder does (ten levels, links followed, special files\n"
        "skipped) and writes the same bytes. SOURCE_DATE_EPOCH (seconds since 1970 UTC),\n"
        "when set, not empty and no --mtime is given, caps every stored time at it.\n"
        "The same archive from the same files on any machine:\n"
        "  zem create --sort=name --mtime=@SECONDS --utc -o FILE FOLDER");
    auto a = std::make_shared<CreateArguments>();
    create->add_option("FOLDER", a->folder, "the folder to pack")->required()->type_name("");
    create
        ->add_option("-o,--output", a->output,
                     "the archive (default: FOLDER.zem), replaced\n"
                     "atomically; - writes to standard output, where a\n"
                     "failure part way leaves a partial archive to discard")
        ->type_name("FILE");
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
    create->add_flag("-q,--quiet", a->quiet, "show nothing but errors");
    create->callback([&run, a] {
        if (a->verbose && a->quiet) throw UsageError("create: -v and -q exclude each other");
        run.exitCode = createCommand(*a, run.err);
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
        run.exitCode = mountCommand(*archive, *mountPoint, *foreground, run.err);
    });

    CLI::App* unmount = app.add_subcommand("unmount", "unmount an archive mounted by zem mount");
    auto point = std::make_shared<std::string>();
    unmount->footer("Unmounts only what zem mount mounted there, as fusermount3 -u does.");
    unmount->add_option("MOUNTPOINT", *point, "where it is mounted")->required()->type_name("");
    unmount->callback([&run, point] { run.exitCode = unmountCommand(*point, run.err); });
}

// The first argument that isn't one of the top level's own options: the command.
std::string commandOf(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") return i + 1 < args.size() ? args[i + 1] : std::string();
        if (args[i].size() < 2 || args[i][0] != '-') return args[i];
    }
    return std::string();
}

}  // namespace

void printMessage(std::ostream& err, const std::string& text) {
    err << "zem: " << escapedText(text) << '\n';
}

int runZem(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Run run{out, err};
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

    std::string hint = "zem --help";
    try {
        const std::string command = commandOf(args);
        if (!command.empty() &&
            app.get_subcommands([&](CLI::App* sub) { return sub->get_name() == command; })
                .empty()) {
            throw UsageError("unknown command \"" + command + "\"");
        }
        if (args.empty()) throw UsageError("no command given");
        std::vector<std::string> reversed(args.rbegin(), args.rend());  // as CLI11 takes them
        try {
            app.parse(reversed);
        } catch (...) {
            // The help to point to is the command's, once the command is known.
            const std::vector<CLI::App*> chosen = app.get_subcommands();
            if (!chosen.empty()) hint = "zem " + chosen.front()->get_name() + " --help";
            throw;
        }
        return run.exitCode;
    } catch (const CLI::CallForVersion& e) {
        out << e.what() << '\n';
        return kExitOk;
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        printMessage(err, e.what());
        err << "Try \"" << hint << "\" for more information.\n";
        return kExitUsage;
    } catch (const UsageError& e) {
        printMessage(err, e.what());
        err << "Try \"" << hint << "\" for more information.\n";
        return kExitUsage;
    } catch (const FatalError& e) {
        printMessage(err, e.what());
        return kExitProblem;
    } catch (const std::bad_alloc&) {
        // A fixed text: building a message could run out again.
        err << "zem: out of memory\n";
        return kExitProblem;
    }
}
