// The POSIX dialogs: which one a run gets, the desktop helpers' argument vectors and answers (with
// scripted stand-ins for zenity and kdialog), and the progress displays.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "builder/dialog_posix.h"
#include "builder/run.h"
#include "fakes.h"
#include "ops/progress_text.h"
#include "test_util.h"

namespace {

const std::string kCaptionText = "ZEM Builder (by the ZEM Builder developers)";

// ---- The choice

TEST(DialogChoice, DesktopOnlyWithoutTerminalPipeOrFileAndWithADisplay) {
    DialogEnvironment env;
    env.zenityPath = "/usr/bin/zenity";
    env.kdialogPath = "/usr/bin/kdialog";
    env.hasDisplay = true;
    for (InputKind input : {InputKind::Terminal, InputKind::Pipe, InputKind::File}) {
        env.input = input;
        EXPECT_EQ(chooseDialog(env).kind, DialogKind::Terminal);
    }
    env.input = InputKind::Other;
    const DialogChoice zenity = chooseDialog(env);
    EXPECT_EQ(zenity.kind, DialogKind::Zenity);
    EXPECT_EQ(zenity.helperPath, "/usr/bin/zenity");

    env.zenityPath.clear();
    const DialogChoice kdialog = chooseDialog(env);
    EXPECT_EQ(kdialog.kind, DialogKind::KDialog);
    EXPECT_EQ(kdialog.helperPath, "/usr/bin/kdialog");

    env.kdialogPath.clear();
    EXPECT_EQ(chooseDialog(env).kind, DialogKind::Terminal);

    env.zenityPath = "/usr/bin/zenity";
    env.hasDisplay = false;
    EXPECT_EQ(chooseDialog(env).kind, DialogKind::Terminal);
}

void makeExecutable(const std::string& path, const std::string& script, mode_t mode = 0755) {
    writeFile(path, script);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

TEST(DialogChoice, FindOnPathTakesTheFirstExecutableFileInAnAbsoluteFolder) {
    TempDir tmp;
    for (const char* folder : {"a", "b", "c", "d"}) makeDirs(tmp / folder);
    makeExecutable(tmp / "a/zenity", "#!/bin/sh\n", 0644);  // not executable
    makeDirs(tmp / "b/zenity");                             // a folder
    makeExecutable(tmp / "c/zenity", "#!/bin/sh\n");
    makeExecutable(tmp / "d/zenity", "#!/bin/sh\n");
    const std::string path = tmp / "a" + ":" + tmp / "b" + "::" + tmp / "c" + ":" + tmp / "d";
    EXPECT_EQ(findOnPath("zenity", path), tmp / "c/zenity");
    EXPECT_EQ(findOnPath("kdialog", path), "");
    EXPECT_EQ(findOnPath("zenity", ""), "");

    // A relative entry (or an empty one, the current folder) never supplies the helper.
    char* cwd = get_current_dir_name();
    ASSERT_NE(cwd, nullptr);
    const std::string old = cwd;
    free(cwd);
    ASSERT_EQ(chdir(tmp.path.c_str()), 0);
    EXPECT_EQ(findOnPath("zenity", "c:d"), "");
    EXPECT_EQ(findOnPath("zenity", ":c"), "");
    ASSERT_EQ(chdir((tmp / "c").c_str()), 0);
    EXPECT_EQ(findOnPath("zenity", ""), "");
    ASSERT_EQ(chdir(old.c_str()), 0);
}

// ---- Argument vectors

TEST(HelperArguments, KdialogGetsEscapedRichTextAndOkCancelOnQuestions) {
    EXPECT_EQ(kdialogText("a & <b> \"c\"\nd>e"), "<qt>a &amp; &lt;b&gt; \"c\"<br>d&gt;e</qt>");
    EXPECT_EQ(
        helperArguments(DialogKind::KDialog, MessageKind::Question, "Cap", "Go <on>?"),
        (std::vector<std::string>{"kdialog", "--title", "Cap", "--yes-label", "OK", "--no-label",
                                  "Cancel", "--yesno", "<qt>Go &lt;on&gt;?</qt>"}));
    EXPECT_EQ(helperArguments(DialogKind::KDialog, MessageKind::Information, "Cap", "-x"),
              (std::vector<std::string>{"kdialog", "--title", "Cap", "--msgbox", "<qt>-x</qt>"}));
    EXPECT_EQ(helperArguments(DialogKind::KDialog, MessageKind::Error, "Cap", "&"),
              (std::vector<std::string>{"kdialog", "--title", "Cap", "--error", "<qt>&amp;</qt>"}));
}

TEST(HelperArguments, ZenityGetsTheTextLiterallyAndTheRightDialog) {
    EXPECT_EQ(helperArguments(DialogKind::Zenity, MessageKind::Information, "Cap", "a & <b>"),
              (std::vector<std::string>{"zenity", "--info", "--title=Cap", "--text=a & <b>",
                                        "--no-markup"}));
    EXPECT_EQ(helperArguments(DialogKind::Zenity, MessageKind::Error, "Cap", "--help"),
              (std::vector<std::string>{"zenity", "--error", "--title=Cap", "--text=--help",
                                        "--no-markup"}));
}

// ---- Progress texts

TEST(ProgressText, FilesAndBytesInTheUnitOfTheTotal) {
    EXPECT_EQ(progressText({0, 0, 0, 0}), "0 of 0 files, 0 of 0 bytes");
    EXPECT_EQ(progressText({1, 3, 500, 1023}), "1 of 3 files, 500 of 1023 bytes");
    EXPECT_EQ(progressText({1, 2, 512, 1024}), "1 of 2 files, 0.5 of 1.0 KiB");
    EXPECT_EQ(progressText({3, 10, 13107200, 268435456}), "3 of 10 files, 12.5 of 256.0 MiB");
    EXPECT_EQ(progressText({9, 9, 4294967295u, 4294967295u}), "9 of 9 files, 4.0 of 4.0 GiB");
}

TEST(ProgressText, PercentByBytesThenByFilesAndHundredOnlyWhenDone) {
    EXPECT_EQ(progressPercent({0, 4, 0, 1000}), 0);
    EXPECT_EQ(progressPercent({1, 4, 999, 1000}), 99);
    EXPECT_EQ(progressPercent({4, 4, 1000, 1000}), 100);
    EXPECT_EQ(progressPercent({1, 4, 0, 0}), 25);  // only empty files
    EXPECT_EQ(progressPercent({0, 0, 0, 0}), 100);
}

TEST(ProgressText, ThrottleLetsTheFirstAndLastThroughAndFewBetween) {
    using std::chrono::milliseconds;
    UpdateThrottle throttle;
    const auto t0 = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
    EXPECT_TRUE(throttle.due({0, 3, 0, 30}, t0));
    EXPECT_FALSE(throttle.due({1, 3, 10, 30}, t0 + milliseconds(100)));
    EXPECT_TRUE(throttle.due({1, 3, 10, 30}, t0 + milliseconds(260)));
    EXPECT_FALSE(throttle.due({2, 3, 20, 30}, t0 + milliseconds(300)));
    EXPECT_TRUE(throttle.due({3, 3, 30, 30}, t0 + milliseconds(301)));
}

// ---- Cancel from a progress display, through the run

struct CancellingProgress : ProgressDisplay {
    int cancelAt;  // the update (from 0) that cancels
    int* updates;
    CancellingProgress(int at, int* count) : cancelAt(at), updates(count) {}
    void update(const WriteProgress&) override {
        if ((*updates)++ == cancelAt) throw Cancelled();
    }
};

struct ProgressFakeDialog : FakeDialog {
    int cancelAt = -1;
    int updates = 0;
    std::unique_ptr<ProgressDisplay> startProgress() override {
        return std::make_unique<CancellingProgress>(cancelAt, &updates);
    }
};

TEST(ProgressCancel, IsARefusalThatLeavesThePreviousArchiveAndNoTemporaryFile) {
    TempDir tmp;
    makeDirs(tmp / "pack");
    writeFile(tmp / "pack/a.txt", "hello");
    writeFile(tmp / "pack/b.txt", std::string(70000, 'b'));
    for (int at : {0, 1, 2}) {
        writeFile(tmp / "pack.zem", "old");
        ProgressFakeDialog dialog;
        dialog.answers = {true, true};
        dialog.cancelAt = at;
        EXPECT_EQ(runZemBuilder({tmp / "pack"}, dialog, systemFileSystem()), 0);
        EXPECT_EQ(dialog.updates, at + 1);
        EXPECT_EQ(dialog.shown.size(), 2u) << "no message after the cancel";
        EXPECT_EQ(readFile(tmp / "pack.zem"), "old");
        EXPECT_EQ(listNames(tmp.path), (std::vector<std::string>{"pack", "pack.zem"}));
    }
    // Updates that never cancel change nothing: one before the files, one after each.
    ProgressFakeDialog dialog;
    dialog.answers = {true, true};
    EXPECT_EQ(runZemBuilder({tmp / "pack"}, dialog, systemFileSystem()), 0);
    EXPECT_EQ(dialog.updates, 3);
    EXPECT_EQ(dialog.shown.back(), "info: ZEM creation complete.");
    EXPECT_EQ(readFile(tmp / "pack.zem").size(), 28 + 5 + 70000 + 8 + 2 * (20 + 6) + 0u);
}

// ---- The zenity progress window, with a stand-in

// Waits until the stand-in that wrote its process id to pidFile has exited: a zombie, since
// only the display that started it reaps it. False after a minute.
bool waitForExitedStandIn(const std::string& pidFile) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string pid;
        try {
            pid = readFile(pidFile);
        } catch (const std::runtime_error&) {  // not written yet
        }
        if (!pid.empty() && pid.back() == '\n') {
            pid.pop_back();
            std::string stat;
            try {
                stat = readFile("/proc/" + pid + "/stat");
            } catch (const std::runtime_error&) {
            }
            // The state follows the name, which is in parentheses and may hold anything.
            const size_t close = stat.rfind(')');
            if (close != std::string::npos && stat.compare(close, 4, ") Z ") == 0) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(ZenityProgress, CancelStopsTheRunOtherEndsOnlyEndTheDisplay) {
    TempDir tmp;
    makeExecutable(tmp / "cancel", "#!/bin/sh\nexit 1\n");
    makeExecutable(tmp / "crash", "#!/bin/sh\necho $$ >\"$0.pid\"\nexit 3\n");
    makeExecutable(tmp / "stay", "#!/bin/sh\nexec sleep 30\n");
    const WriteProgress progress{0, 1, 0, 10};
    const auto updateUntilThrows = [&](ProgressDisplay& display) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (std::chrono::steady_clock::now() < deadline) {
            try {
                display.update(progress);
            } catch (const Cancelled&) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    std::unique_ptr<ProgressDisplay> cancel = startZenityProgress(tmp / "cancel");
    ASSERT_TRUE(cancel);
    EXPECT_TRUE(updateUntilThrows(*cancel));

    std::unique_ptr<ProgressDisplay> crash = startZenityProgress(tmp / "crash");
    ASSERT_TRUE(crash);
    ASSERT_TRUE(waitForExitedStandIn(tmp / "crash.pid"));
    for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(crash->update(progress));

    // A window still open when the run ends is closed with it, without waiting for it.
    const auto start = std::chrono::steady_clock::now();
    { std::unique_ptr<ProgressDisplay> stay = startZenityProgress(tmp / "stay"); }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    EXPECT_FALSE(startZenityProgress(tmp / "missing"));
}

// ---- The executable with stand-ins for the helpers

// A stand-in helper: logs its arguments (one per line, then "---") and exits with the status on
// the line of `answers` that matches its call number; "kill" makes it die by a signal. A progress
// window is left out: the run may end it before it has even started.
const char* const kFakeHelper = R"SH(#!/bin/sh
PATH=/usr/bin:/bin
if [ "$1" = --progress ]; then exec cat >/dev/null; fi
dir=$(dirname "$0")/..
n=$(($(cat "$dir/count" 2>/dev/null || echo 0) + 1))
echo $n > "$dir/count"
{ printf '%s\n' "$(basename "$0")" "$@"; echo ---; } >> "$dir/calls"
status=$(sed -n "${n}p" "$dir/answers")
if [ "$status" = kill ]; then kill -9 $$; fi
exit ${status:-0}
)SH";

struct DesktopCli : ::testing::Test {
    TempDir tmp;
    std::string bin = tmp / "bin";
    std::string root = tmp / "a & <b> $(x) `y` 'q'";
    std::string archive = root + ".zem";

    void SetUp() override {
        makeDirs(bin);
        makeDirs(root + "/sub");
        writeFile(root + "/one.txt", "hello");
        writeFile(root + "/sub/two.bin", std::string(100000, 't'));
    }
    void addHelper(const std::string& name) { makeExecutable(bin + "/" + name, kFakeHelper); }
    void setAnswers(const std::string& lines) { writeFile(tmp / "answers", lines); }
    // The helpers' calls, each as its argument vector.
    std::vector<std::vector<std::string>> calls() {
        std::vector<std::vector<std::string>> result(1);
        struct stat st {};
        if (stat((tmp / "calls").c_str(), &st) != 0) return {};
        const std::string text = readFile(tmp / "calls");
        size_t at = 0;
        for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
            const std::string line = text.substr(at, nl - at);
            if (line == "---") {
                result.emplace_back();
            } else {
                result.back().push_back(line);
            }
        }
        result.pop_back();
        return result;
    }
    // Runs with standard input from /dev/null, as a launcher starts it, and these variables.
    ChildResult run(const std::vector<std::string>& args,
                    const std::vector<std::pair<const char*, const char*>>& env) {
        return runProgram(args, "", [&] {
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            setenv("PATH", bin.c_str(), 1);
            for (const auto& [name, value] : env) setenv(name, value, 1);
        });
    }
    std::vector<std::string> question(const std::string& text) const {
        return {"zenity",      "--question",    "--title=" + kCaptionText, "--text=" + text,
                "--no-markup", "--ok-label=OK", "--cancel-label=Cancel"};
    }
    std::string firstQuestion() const {
        return "Generating \"" + archive + "\" from 2 files. Continue?";
    }
};

TEST_F(DesktopCli, OkOnBothQuestionsWritesTheArchiveAndTheTextsArriveLiterally) {
    addHelper("zenity");
    addHelper("kdialog");
    writeFile(archive, "old");
    setAnswers("0\n0\n0\n");
    const ChildResult r = run({root}, {{"DISPLAY", ":99"}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const auto c = calls();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0], question(firstQuestion()));
    EXPECT_EQ(c[1], question("ZEM file \"" + archive + "\" already exists. Definitely continue?"));
    EXPECT_EQ(c[2], (std::vector<std::string>{"zenity", "--info", "--title=" + kCaptionText,
                                              "--text=ZEM creation complete.", "--no-markup"}));
    EXPECT_EQ(readFile(archive).size(), 28 + 5 + 100000 + 8 + 20 + 8 + 20 + 12u);
}

TEST_F(DesktopCli, AnythingButOkIsCancelAndWritesNothing) {
    addHelper("zenity");
    for (const char* answer : {"1\n", "5\n", "255\n", "kill\n"}) {
        setAnswers(answer);
        unlink((tmp / "count").c_str());
        unlink((tmp / "calls").c_str());
        const ChildResult r = run({root}, {{"WAYLAND_DISPLAY", "wayland-0"}});
        EXPECT_EQ(r.exitCode, 0) << answer;
        EXPECT_EQ(calls(), std::vector<std::vector<std::string>>{question(firstQuestion())});
    }
    writeFile(archive, "old");
    setAnswers("0\n1\n");
    unlink((tmp / "count").c_str());
    unlink((tmp / "calls").c_str());
    EXPECT_EQ(run({root}, {{"DISPLAY", ":99"}}).exitCode, 0);
    EXPECT_EQ(calls().size(), 2u);
    EXPECT_EQ(readFile(archive), "old");
    EXPECT_EQ(listNames(tmp.path),
              (std::vector<std::string>{"a & <b> $(x) `y` 'q'", "a & <b> $(x) `y` 'q'.zem",
                                        "answers", "bin", "calls", "count"}));
}

TEST_F(DesktopCli, UsageAndFatalErrorShowInformationAndErrorDialogs) {
    addHelper("zenity");
    makeDirs(archive);  // a folder where the archive should go
    setAnswers("0\n0\n0\n0\n0\n");
    EXPECT_EQ(run({}, {{"DISPLAY", ":99"}}).exitCode, 0);
    const ChildResult r = run({root}, {{"DISPLAY", ":99"}});
    EXPECT_EQ(r.exitCode, 1);
    const auto c = calls();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0], (std::vector<std::string>{"zenity", "--info", "--title=" + kCaptionText,
                                              "--text=" + std::string(kUsageText), "--no-markup"}));
    EXPECT_EQ(c[3], (std::vector<std::string>{
                        "zenity", "--error", "--title=" + kCaptionText,
                        "--text=Error opening .zem file (\"" + archive + "\") for output",
                        "--no-markup"}));
}

TEST_F(DesktopCli, KdialogWhenThereIsNoZenity) {
    addHelper("kdialog");
    setAnswers("1\n");
    EXPECT_EQ(run({root}, {{"DISPLAY", ":99"}}).exitCode, 0);
    const auto c = calls();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0], (std::vector<std::string>{"kdialog", "--title", kCaptionText, "--yes-label",
                                              "OK", "--no-label", "Cancel", "--yesno",
                                              kdialogText(firstQuestion())}));
    EXPECT_NE(c[0].back().find("a &amp; &lt;b&gt; $(x) `y` 'q'.zem"), std::string::npos);
}

TEST_F(DesktopCli, TerminalWithoutDisplayOrHelperOrWhenInputIsAPipe) {
    const std::string prompt = firstQuestion() + " [OK/cancel] \n";
    // A display but no helper; a helper but no display: the terminal, and end of input is Cancel.
    ChildResult r = run({root}, {{"DISPLAY", ":99"}});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, prompt);
    addHelper("zenity");
    r = run({root}, {});
    EXPECT_EQ(r.out, prompt);
    EXPECT_TRUE(calls().empty());
    // Answers on a pipe: a script drives the program, whatever the session offers.
    r = runProgram({root}, "\n", [&] {
        setenv("DISPLAY", ":99", 1);
        setenv("PATH", bin.c_str(), 1);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, firstQuestion() + " [OK/cancel] ZEM creation complete.\n");
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(readFile(archive).size(), 28 + 5 + 100000 + 8 + 20 + 8 + 20 + 12u);
}

// ---- The terminal's progress line, on a pseudo-terminal

TEST(TerminalProgress, ALineOnStandardErrorOnlyWhenItIsATerminal) {
    TempDir tmp;
    makeDirs(tmp / "pack");
    writeFile(tmp / "pack/a.txt", "hello");
    writeFile(tmp / "pack/b.bin", std::string(100000, 'b'));
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    const ChildResult r = runProgram({tmp / "pack"}, "\n", [&] {
        const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
        dup2(fd, 2);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    std::string seen;
    for (pollfd pfd{master, POLLIN, 0}; poll(&pfd, 1, 2000) > 0;) {
        char buf[4096];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<size_t>(n));
    }
    close(master);
    EXPECT_EQ(seen.rfind("\rWriting: 0 of 2 files, 0.0 of 97.7 KiB (0%)", 0), 0u) << seen;
    const std::string last = "\rWriting: 2 of 2 files, 97.7 of 97.7 KiB (100%)\r\n";
    ASSERT_GE(seen.size(), last.size());
    EXPECT_EQ(seen.substr(seen.size() - last.size()), last) << seen;
    // The piped run of the same folder shows no progress (r.err above, and the Cli suite).
}

}  // namespace
