#include "zem/commands.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <new>
#include <set>

#include "archive/archive_file.h"
#include "archive/fatal_error.h"
#include "archive/local_time.h"
#include "archive/reader.h"
#include "archive/stored_name.h"
#include "scan/file_system.h"
#include "scan/scan.h"
#include "zem/extract_fs.h"
#include "zem/folder_file.h"

#ifndef ZEM_VERSION
#error "ZEM_VERSION must be defined by the build"
#endif

namespace {

constexpr size_t kCopyBufferSize = 1 << 20;

const char* const kHelpText =
    "Usage: zem list ARCHIVE\n"
    "       zem verify ARCHIVE [FOLDER]\n"
    "       zem extract [--force] ARCHIVE [DEST]\n"
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
    "\n"
    "Options:\n"
    "  -f, --force    extract: replace files that already exist\n"
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

struct Archive {
    std::string path;
    std::unique_ptr<ArchiveSource> source;
    std::vector<ArchiveRecord> records;
};

Archive loadArchive(const std::string& path) {
    Archive archive;
    archive.path = path;
    archive.source = openArchiveFile(path);
    std::string problem;
    if (!readArchive(*archive.source, archive.records, problem)) fatalError(path + ": " + problem);
    return archive;
}

std::vector<std::string> namesOf(const Archive& archive) {
    std::vector<std::string> names;
    for (const ArchiveRecord& r : archive.records) names.push_back(r.name);
    return names;
}

void checkNames(const Archive& archive) {
    const std::string problem = namesProblem(namesOf(archive), platformNameRules());
    if (!problem.empty()) fatalError(archive.path + ": " + problem);
}

// Reads `length` archive bytes at `offset` into buffer, or ends the run naming the archive.
void readData(Archive& archive, uint64_t offset, std::vector<char>& buffer, size_t length) {
    if (!archive.source->readAt(offset, buffer.data(), length)) {
        fatalError("cannot read \"" + archive.path + "\" at offset " + std::to_string(offset));
    }
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
    const Archive archive = loadArchive(archivePath);
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
std::string compareFile(Archive& archive, const ArchiveRecord& r, const FileEntry& onDisk,
                        std::vector<char>& a, std::vector<char>& b) {
    if (onDisk.size != r.length) {
        return std::to_string(r.length) + " bytes in the archive, " + std::to_string(onDisk.size) +
               " in \"" + onDisk.path + "\"";
    }
    FolderFile in;
    if (!openFolderFile(onDisk.path, in)) return "cannot open \"" + onDisk.path + "\"";
    for (uint64_t done = 0; done < r.length;) {
        const size_t chunk =
            static_cast<size_t>(std::min<uint64_t>(kCopyBufferSize, r.length - done));
        readData(archive, r.dataOffset + done, a, chunk);
        if (readFolderFile(in, b.data(), chunk) != chunk) {
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
    Archive archive = loadArchive(archivePath);
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

// Looks at everything each name will pass through before anything is written, so a refusal
// leaves DEST as it was. The writes re-check as they go (see extract_fs.h).
void checkDestination(const std::string& dest, const Archive& archive, bool force) {
    const std::string tooLong = pathLengthProblem(dest, namesOf(archive));
    if (!tooLong.empty()) fatalError(tooLong);
    const PathKind destKind = pathKind(dest);
    if (destKind == PathKind::Missing) return;
    if (destKind != PathKind::Folder && destKind != PathKind::Link) {
        fatalError("\"" + dest + "\" is not a folder");
    }
    std::map<std::string, PathKind> seen;
    for (size_t i = 0; i < archive.records.size(); ++i) {
        const std::string& name = archive.records[i].name;
        const std::string record =
            "record " + std::to_string(i) + ": name " + quotedName(name) + ": ";
        const std::vector<std::string> parts = splitStoredName(name);
        std::string path = dest;
        for (size_t p = 0; p < parts.size(); ++p) {
            path += nativeSeparator() + parts[p];
            auto it = seen.find(path);
            if (it == seen.end()) it = seen.emplace(path, pathKind(path)).first;
            const PathKind kind = it->second;
            const bool last = p + 1 == parts.size();
            if (kind == PathKind::Missing) break;  // nothing below it exists either
            if (!last) {
                if (kind == PathKind::Link) fatalError(record + linkRefusalText(path));
                if (kind != PathKind::Folder)
                    fatalError(record + "\"" + path + "\" is not a folder");
            } else {
                if (kind == PathKind::Folder) fatalError(record + "\"" + path + "\" is a folder");
                if (!force) fatalError(record + alreadyExistsText(path));
            }
        }
    }
}

// The stored local calendar time as seconds since 1970 UTC. The time was formed with the UTC
// offset in force when the archive was made; the offset in force now is the best stand-in, and
// turns an archive made and extracted under the same offset back into the exact time.
int64_t utcSecondsOf(const CalendarTime& stored) {
    return secondsFromCalendar(stored) - utcOffsetNow();
}

int extractCommand(const std::string& archivePath, const std::string* destArg, bool force,
                   std::ostream& err) {
    Archive archive = loadArchive(archivePath);
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

    const FolderHandle root = openDestination(dest);
    // What runs killed outright left goes from each folder written to, before its first file.
    std::set<std::string> cleaned;
    const auto cleanOnce = [&](const FolderHandle& folder) {
        if (cleaned.insert(folder.path).second) removeLeftoverTemporaryFiles(folder);
    };
    cleanOnce(root);
    std::vector<char> buffer(kCopyBufferSize);
    for (const ArchiveRecord& r : archive.records) {
        const std::vector<std::string> parts = splitStoredName(r.name);
        std::vector<FolderHandle> chain;  // each folder stays open while its child is opened
        for (size_t p = 0; p + 1 < parts.size(); ++p) {
            chain.push_back(openSubfolder(chain.empty() ? root : chain.back(), parts[p]));
            cleanOnce(chain.back());
        }
        AtomicFile file;
        startExtractedFile(file, chain.empty() ? root : chain.back(), parts.back());
        for (uint64_t done = 0; done < r.length;) {
            const size_t chunk =
                static_cast<size_t>(std::min<uint64_t>(kCopyBufferSize, r.length - done));
            readData(archive, r.dataOffset + done, buffer, chunk);
            writeAtomicFile(file, buffer.data(), chunk);
            done += chunk;
        }
        // The file is in place whatever the warning says: extraction goes on.
        const std::string warning = finishExtractedFile(
            file, r.time.present(), r.time.present() ? utcSecondsOf(r.time) : 0, force);
        if (!warning.empty()) printMessage(err, "warning: " + warning);
    }
    return kExitOk;
}

struct CommandLine {
    std::string command;
    std::vector<std::string> operands;
    bool force = false;
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
            } else if (arg == "-f" || arg == "--force") {
                line.force = true;
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
    if (line.force && line.command != "extract") {
        throw UsageError("--force applies to extract only");
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
        return extractCommand(line.operands[0], second(), line.force, err);
    }
    if (line.command.empty()) throw UsageError("no command given");
    throw UsageError("unknown command \"" + line.command + "\"");
}

}  // namespace

DefaultDestination defaultDestination(const std::string& archivePath) {
    // A name begins after the last separator or, on Windows, after a drive's colon ("C:a.zem").
    const std::string separators = nativeSeparator() == '/' ? "/" : "/\\:";
    if (!archivePath.empty() && separators.find(archivePath.back()) != std::string::npos) {
        return {"", "it ends in \"" + archivePath.substr(archivePath.size() - 1) + "\""};
    }
    const size_t lastSeparator = archivePath.find_last_of(separators);
    const std::string name =
        archivePath.substr(lastSeparator == std::string::npos ? 0 : lastSeparator + 1);
    std::string suffix = name.size() >= 4 ? name.substr(name.size() - 4) : "";
    for (char& c : suffix) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (suffix != ".zem") return {"", "its name doesn't end in .zem"};
    const std::string stem = name.substr(0, name.size() - 4);
    if (stem.empty()) {
        return {"", "its name is just \"" + name + "\", which leaves no folder name"};
    }
    // "..zem" would extract into the archive's own folder, "...zem" into the one above it.
    if (stem == "." || stem == "..") {
        return {"", "its name without .zem is \"" + stem + "\", which names no folder of its own"};
    }
    return {archivePath.substr(0, archivePath.size() - 4), ""};
}

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
