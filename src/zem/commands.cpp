#include "zem/commands.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <new>
#include <set>

#include "archive/archive_file.h"
#include "archive/fatal_error.h"
#include "archive/input_file.h"
#include "archive/local_time.h"
#include "archive/reader.h"
#include "archive/stored_name.h"
#include "scan/file_system.h"
#include "scan/scan.h"
#include "zem/extract.h"
#include "zem/extract_fs.h"
#include "zem/mount.h"

#ifndef ZEM_VERSION
#error "ZEM_VERSION must be defined by the build"
#endif

namespace {

constexpr size_t kCopyBufferSize = 1 << 20;

const char* const kHelpText =
    "Usage: zem list ARCHIVE\n"
    "       zem verify ARCHIVE [FOLDER]\n"
    "       zem extract [--force] ARCHIVE [DEST]\n"
    "       zem mount [--foreground] ARCHIVE MOUNTPOINT\n"
    "       zem unmount MOUNTPOINT\n"
    "       zem --help | --version\n"
    "\n"
    "Reads .zem archives, as written by zem-builder.\n"
    "\n"
    "  list     print the size, local time and name of every file, in archive order\n"
    "  verify   check the archive's structure; with FOLDER, also compare every stored\n"
    "           file with FOLDER's file of that name, byte for byte, and report files\n"
    "           missing on either side\n"
    "  extract  recreate the files under DEST (default: ARCHIVE without .zem, beside it);\n"
    "           every name is checked first, nothing is written outside DEST or through\n"
    "           a symbolic link, and existing files are kept\n"
    "  mount    check the archive as extract does, then show its files read-only under\n"
    "           MOUNTPOINT (Linux, FUSE) until unmounted; returns once they are there\n"
    "  unmount  unmount an archive mounted by zem mount (as fusermount3 -u does)\n"
    "\n"
    "Options:\n"
    "  -f, --force    extract: replace files that already exist\n"
    "  -f, --foreground\n"
    "                 mount: serve in the foreground until unmounted, Ctrl-C or SIGTERM\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "Exit status: 0 success, 1 a problem was found (a damaged archive, a difference,\n"
    "a refused name, a failed write), 2 a wrong command line.\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Every message passes here: names and paths from a hostile archive or folder can't steer the
// terminal, whichever part of the message they are in.
void printMessage(std::ostream& err, const std::string& text) {
    err << "zem: " << escapedText(text) << '\n';
}

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
    for (uint64_t done = 0; done < r.length;) {
        const size_t chunk =
            static_cast<size_t>(std::min<uint64_t>(kCopyBufferSize, r.length - done));
        readArchiveData(archive, r.dataOffset + done, a, chunk);
        if (readInputFile(in, b.data(), chunk) != chunk) {
            return "cannot read \"" + onDisk.path + "\"";
        }
        const auto mismatch = std::mismatch(a.begin(), a.begin() + chunk, b.begin());
        if (mismatch.first != a.begin() + chunk) {
            return "differs from \"" + onDisk.path + "\" at byte " +
                   std::to_string(done + (mismatch.first - a.begin()));
        }
        done += chunk;
    }
    return "";
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

    std::vector<char> a(kCopyBufferSize), b(kCopyBufferSize);
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

int extractCommand(const std::string& archivePath, const std::string* destArg, bool force,
                   std::ostream& err) {
    LoadedArchive archive = loadArchive(archivePath);
    checkNames(archive);
    std::string dest;
    if (destArg) {
        dest = folderOperand(*destArg);
    } else {
        const DefaultDestination beside = defaultDestination(archivePath);
        if (beside.folder.empty()) {
            throw UsageError("can't name a folder to extract \"" + archivePath + "\" into, as " +
                             beside.problem + ": give DEST");
        }
        dest = beside.folder;
    }
    checkDestination(dest, archive, force);
    extractArchive(archive, dest, force, nullptr,
                   [&](const std::string& warning) { printMessage(err, "warning: " + warning); });
    return kExitOk;
}

struct CommandLine {
    std::string command;
    std::vector<std::string> operands;
    bool force = false;
    bool foreground = false;
    bool shortF = false;  // -f: --force for extract, --foreground for mount
    bool help = false;
    bool version = false;
};

CommandLine parse(const std::vector<std::string>& args) {
    CommandLine line;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
            } else if (arg == "-h" || arg == "--help") {
                line.help = true;
            } else if (arg == "--version") {
                line.version = true;
            } else if (arg == "-f") {
                line.shortF = true;
            } else if (arg == "--force") {
                line.force = true;
            } else if (arg == "--foreground") {
                line.foreground = true;
            } else {
                throw UsageError("unknown option \"" + arg + "\"");
            }
        } else if (line.command.empty()) {
            line.command = arg;
        } else {
            line.operands.push_back(arg);
        }
    }
    return line;
}

void expectOperands(const CommandLine& line, size_t least, size_t most) {
    if (line.operands.size() < least) throw UsageError(line.command + ": ARCHIVE is missing");
    if (line.operands.size() > most) {
        throw UsageError(line.command + ": too many arguments (\"" + line.operands[most] + "\")");
    }
}

int dispatch(const CommandLine& line, std::ostream& out, std::ostream& err) {
    const auto second = [&]() -> const std::string* {
        return line.operands.size() > 1 ? &line.operands[1] : nullptr;
    };
    if (line.shortF && line.command != "extract" && line.command != "mount") {
        throw UsageError("-f applies to extract (--force) and mount (--foreground) only");
    }
    if (line.force && line.command != "extract") {
        throw UsageError("--force applies to extract only");
    }
    if (line.foreground && line.command != "mount") {
        throw UsageError("--foreground applies to mount only");
    }
    if (line.command == "list") {
        expectOperands(line, 1, 1);
        return listCommand(line.operands[0], out);
    }
    if (line.command == "verify") {
        expectOperands(line, 1, 2);
        return verifyCommand(line.operands[0], second(), out, err);
    }
    if (line.command == "extract") {
        expectOperands(line, 1, 2);
        return extractCommand(line.operands[0], second(), line.force || line.shortF, err);
    }
    if (line.command == "mount") {
        expectOperands(line, 1, 2);
        if (!second()) throw UsageError("mount: MOUNTPOINT is missing");
        return mountCommand(line.operands[0], line.operands[1], line.foreground || line.shortF,
                            err);
    }
    if (line.command == "unmount") {
        if (line.operands.empty()) throw UsageError("unmount: MOUNTPOINT is missing");
        if (line.operands.size() > 1) {
            throw UsageError("unmount: too many arguments (\"" + line.operands[1] + "\")");
        }
        return unmountCommand(line.operands[0], err);
    }
    if (line.command.empty()) throw UsageError("no command given");
    throw UsageError("unknown command \"" + line.command + "\"");
}

}  // namespace

int runZem(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        const CommandLine line = parse(args);
        if (line.help) {
            out << kHelpText;
            return kExitOk;
        }
        if (line.version) {
            out << "zem " << ZEM_VERSION << '\n';
            return kExitOk;
        }
        return dispatch(line, out, err);
    } catch (const UsageError& e) {
        printMessage(err, e.what());
        err << "Try \"zem --help\" for more information.\n";
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
