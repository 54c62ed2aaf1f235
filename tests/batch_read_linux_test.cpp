// Reading runs of small files, through io_uring and one file at a time: every file whole at its
// place, a grown one cut, and each fault reported at the first faulty file in list order with the
// text the one-at-a-time path gives, on both paths alike.

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/batch_read.h"
#include "archive/input_reader.h"
#include "test_util.h"

namespace {

// Sets ZEM_NO_IO_URING for the test's readers (they look at it when first used), and restores it.
struct BatchReadTest : ::testing::TestWithParam<ReadPath> {
    std::vector<std::string> paths;
    std::vector<std::string> contents;
    std::vector<uint64_t> sizes;  // as scanned

    void SetUp() override {
        const char* old = std::getenv("ZEM_NO_IO_URING");
        hadOld = old != nullptr;
        if (old) oldValue = old;
        if (GetParam() == ReadPath::OneAtATime) {
            setenv("ZEM_NO_IO_URING", "1", 1);
        } else {
            unsetenv("ZEM_NO_IO_URING");
        }
        BatchReader probe;
        const bool batched = readsInBatches(probe);
        if (GetParam() == ReadPath::OneAtATime) {
            ASSERT_FALSE(batched) << "ZEM_NO_IO_URING=1 turns the batches off";
        } else if (!batched) {
            if (std::getenv("CI")) FAIL() << "io_uring is refused, so CI can't test its path";
            GTEST_SKIP() << "io_uring is missing or refused on this machine";
        }
    }
    void TearDown() override {
        if (hadOld) {
            setenv("ZEM_NO_IO_URING", oldValue.c_str(), 1);
        } else {
            unsetenv("ZEM_NO_IO_URING");
        }
    }

    // Files f0, f1, ... in the folder, of sizes cycling through the edges of a page and of the
    // read-ahead's limit.
    void makeFiles(const TempDir& folder, size_t count) {
        static const size_t kSizes[] = {0, 1, 4095, 4096, 4097, 65536, 777};
        paths.clear();
        contents.clear();
        sizes.clear();
        for (size_t i = 0; i < count; ++i) {
            std::string bytes(kSizes[i % 7], '\0');
            for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<char>(i * 7 + j);
            paths.push_back(folder / ("f" + std::to_string(i)));
            writeFile(paths.back(), bytes);
            contents.push_back(bytes);
            sizes.push_back(bytes.size());
        }
    }

    // Reads every file into one buffer, back to back; returns the index the reader stopped at.
    size_t readAll(std::string& buffer, std::string& error) {
        uint64_t total = 0;
        for (uint64_t size : sizes) total += size;
        buffer.assign(static_cast<size_t>(total), '?');
        std::vector<BatchFile> files;
        char* into = &buffer[0];
        for (size_t i = 0; i < paths.size(); ++i) {
            files.push_back({&paths[i], sizes[i], into});
            into += sizes[i];
        }
        BatchReader reader;
        return readBatch(reader, files.data(), files.size(), error);
    }

    // The files before `end` are in the buffer whole (a grown one cut at its scanned size).
    void expectReadBefore(const std::string& buffer, size_t end) {
        size_t at = 0;
        for (size_t i = 0; i < end; ++i) {
            EXPECT_EQ(buffer.compare(at, sizes[i], contents[i], 0, sizes[i]), 0) << paths[i];
            at += sizes[i];
        }
    }

    bool hadOld = false;
    std::string oldValue;
};

enum class Fault { None, Missing, Folder, Fifo, Device, Shorter, Grown };
enum class Expect { Whole, OpenError, ReadError };

struct FaultCase {
    const char* name;
    size_t count;  // files in the run, more than one round of the ring's for some
    size_t at;     // the faulty file, and a second one after it in some cases
    Fault fault;
    Expect expect;
    size_t secondFaultAt = SIZE_MAX;
};

const FaultCase kFaultCases[] = {
    {"NothingWrong", 10, 0, Fault::None, Expect::Whole},
    {"GrownSinceTheScanIsCut", 10, 3, Fault::Grown, Expect::Whole},
    {"Missing", 10, 4, Fault::Missing, Expect::OpenError},
    {"AFolder", 10, 2, Fault::Folder, Expect::OpenError},
    {"AFifoDoesNotBlock", 10, 5, Fault::Fifo, Expect::OpenError},
    // A link to /dev/zero would give as many bytes as asked for: only the type check stops it.
    {"ADeviceIsNoFile", 10, 1, Fault::Device, Expect::OpenError},
    {"ShorterThanScanned", 10, 6, Fault::Shorter, Expect::ReadError},
    {"TheFirstOfTwoFaultsCounts", 10, 3, Fault::Shorter, Expect::ReadError, 7},
    {"FirstFile", 10, 0, Fault::Missing, Expect::OpenError},
    {"InALaterRound", 150, 130, Fault::Folder, Expect::OpenError},
    {"ManyRoundsNothingWrong", 150, 0, Fault::None, Expect::Whole},
};

void applyFault(Fault fault, const std::string& path, uint64_t& size, std::string& contents) {
    switch (fault) {
        case Fault::None: break;
        case Fault::Missing: unlink(path.c_str()); break;
        case Fault::Folder:
            unlink(path.c_str());
            makeDirs(path);
            break;
        case Fault::Fifo:
            unlink(path.c_str());
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            break;
        case Fault::Device:
            unlink(path.c_str());
            ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
            size = 100;
            break;
        case Fault::Shorter: size += 1; break;
        case Fault::Grown: writeFile(path, contents + "grown after the scan"); break;
    }
}

TEST_P(BatchReadTest, EachFaultAtItsFileWithItsText) {
    for (const FaultCase& c : kFaultCases) {
        SCOPED_TRACE(c.name);
        TempDir folder;
        makeFiles(folder, c.count);
        applyFault(c.fault, paths[c.at], sizes[c.at], contents[c.at]);
        if (c.secondFaultAt != SIZE_MAX) {
            applyFault(Fault::Missing, paths[c.secondFaultAt], sizes[c.secondFaultAt],
                       contents[c.secondFaultAt]);
        }
        std::string buffer, error;
        const size_t stoppedAt = readAll(buffer, error);
        switch (c.expect) {
            case Expect::Whole:
                EXPECT_EQ(stoppedAt, c.count);
                EXPECT_EQ(error, "");
                expectReadBefore(buffer, c.count);
                break;
            case Expect::OpenError:
            case Expect::ReadError:
                EXPECT_EQ(stoppedAt, c.at);
                EXPECT_EQ(error, c.expect == Expect::OpenError ? inputOpenError(paths[c.at])
                                                               : inputReadError(paths[c.at]));
                expectReadBefore(buffer, c.at);
                break;
        }
    }
}

// With few descriptors to spare, a round's opens run out of them: the files that found none are
// read one at a time once the others are closed, and nothing fails.
TEST_P(BatchReadTest, FewFreeDescriptorsCostOnlySpeed) {
    TempDir folder;
    makeFiles(folder, 100);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    // The lowest free descriptor tells how many are in use (a few past it may be too).
    const int lowest = dup(0);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(lowest + 8);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::string buffer, error;
    const size_t stoppedAt = readAll(buffer, error);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(stoppedAt, 100u) << error;
    expectReadBefore(buffer, 100);
}

// Where a seccomp filter refuses io_uring (as container runtimes' default profiles do), or
// ZEM_NO_IO_URING turns it off, the program reads one file at a time without a word, and the
// archive is the same to the byte.
TEST(BatchReadFallback, RefusedOrTurnedOffIoUringMakesTheSameArchive) {
    PackFolder p;
    for (int i = 0; i < 300; ++i) {
        p.add("d" + std::to_string(i % 4) + "/f" + std::to_string(i),
              std::string(size_t(i) * 53 % 9000, static_cast<char>('a' + i % 26)));
    }
    ChildResult r = runProgram({p.root}, "\n\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string expected = readFile(p.archive);
    const struct {
        const char* name;
        std::function<void()> inChild;
    } kRefusals[] = {
        {"refused by a filter", [] { refuseSystemCallInChild(__NR_io_uring_setup, EPERM); }},
        {"missing from the kernel", [] { refuseSystemCallInChild(__NR_io_uring_setup, ENOSYS); }},
        {"turned off", [] { setenv("ZEM_NO_IO_URING", "1", 1); }},
    };
    for (const auto& refusal : kRefusals) {
        SCOPED_TRACE(refusal.name);
        unlink(p.archive.c_str());
        r = runProgram({p.root}, "\n\n", refusal.inChild);
        SKIP_OR_FAIL_WITHOUT_FILTER(r.exitCode);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(readFile(p.archive) == expected) << "the same archive to the byte";
    }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, BatchReadTest,
                         ::testing::Values(ReadPath::Batches, ReadPath::OneAtATime),
                         [](const ::testing::TestParamInfo<ReadPath>& param) {
                             return readPathName(param.param);
                         });

}  // namespace
