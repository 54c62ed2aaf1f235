#!/usr/bin/env python3
"""Times zem-builder against GNU tar -cf, a plain copy of the same bytes, and the disk's own
direct-write speed, on corpora it makes.

Every command runs in the same session, interleaved (one run of each in turn, the order rotating),
after one untimed warm-up round, so the page cache is hot and a noisy neighbour hits all of them
alike. Prints the median wall time, the ratios and the peak RSS of each. Standard library only.
"""

import argparse
import itertools
import re
import shlex
import os
import platform
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402


# GNU time reports the peak RSS of the command and the children it waited for. Measured from
# Python itself, a child's peak would include this interpreter's, which the child inherits at
# fork and the kernel keeps across exec.
TIME = "/usr/bin/time"


def run_once(argv, stdin_bytes=None, stdout_path=None, rss_path=None):
    """Runs argv to the end; returns (wall seconds, peak RSS in KiB or None)."""
    out = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
    if rss_path:
        argv = [TIME, "-f", "%M", "-o", rss_path] + argv
    try:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=out,
                                stderr=subprocess.PIPE)
        if stdin_bytes:
            try:
                proc.stdin.write(stdin_bytes)
            except BrokenPipeError:
                pass
        proc.stdin.close()
        _, status, _ = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
    finally:
        if stdout_path:
            out.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if proc.returncode != 0:
        raise SystemExit("bench: %s failed (%d): %s" % (" ".join(argv), proc.returncode, err))
    rss = None
    if rss_path:
        with open(rss_path) as f:
            rss = int(f.read().split()[-1])
        remove(rss_path)
    return elapsed, rss


RSS_FILE = None  # set in main when GNU time is there
FOLDER_NUMBERS = itertools.count()


def remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


class Tool:
    """One command timed on one corpus: how to run it and what to clear before each run."""

    def __init__(self, name, argv, stdin_bytes=None, output=None, stdout_path=None, after=None,
                 fresh_dir=None, make_dir=False):
        self.name = name
        self.argv = argv
        self.stdin_bytes = stdin_bytes
        self.output = output
        self.stdout_path = stdout_path
        self.after = after  # run untimed after each run (an unmount)
        # A folder the command writes into, named by "{dest}" in argv: a new one for each run (with
        # make_dir made empty before it), all removed by clear_folders. Not removed between runs:
        # ext4 passes over inodes freed in the last half minute when it makes a file, so files
        # deleted just before would slow the next run's creations down many times over.
        self.fresh_dir = fresh_dir
        self.make_dir = make_dir
        self.folders = []
        self.machine = "cheap"  # or "dear": its system calls made dearer
        self.times = []
        self.rss = []

    def clear(self):
        if self.output:
            remove(self.output)
        if self.stdout_path:
            remove(self.stdout_path)

    def clear_folders(self):
        for folder in self.folders:
            shutil.rmtree(folder, ignore_errors=True)
        self.folders = []

    def run(self, record=True):
        self.clear()
        argv = self.argv
        if self.fresh_dir:
            dest = "%s.%d" % (self.fresh_dir, next(FOLDER_NUMBERS))
            self.folders.append(dest)
            argv = [a.replace("{dest}", dest) for a in argv]
            if self.make_dir:
                os.mkdir(dest)
        # The previous run's output is gone, but freeing its blocks and any writeback still
        # pending would land in this run's time: settle the disk first (untimed).
        os.sync()
        elapsed, rss = run_once(argv, self.stdin_bytes, self.stdout_path, RSS_FILE)
        if self.after:
            run_once(self.after)
        if record:
            self.times.append(elapsed)
            self.rss.append(rss)
        self.clear()


def fsync_seconds(tool):
    """Seconds zem-builder spends in fsync in one (untimed) run under strace, or None."""
    if not shutil.which("strace"):
        return None
    log = tool.output + ".strace"
    # --seccomp-bpf stops the program only at the traced calls, so the rest runs at full speed.
    argv = ["strace", "-f", "--seccomp-bpf", "-T", "-e", "trace=fsync,fdatasync", "-o", log] + tool.argv
    remove(tool.output)
    run_once(argv, tool.stdin_bytes)
    remove(tool.output)
    total = 0.0
    with open(log) as f:
        for line in f:
            # With threads a call may show as "<unfinished ...>", then "<... fsync resumed>".
            timed = re.search(r"<([0-9.]+)>\s*$", line)
            if "fsync" in line and timed:
                total += float(timed.group(1))
    remove(log)
    return total


def measure(tools, runs, fsync_of=None):
    """Interleaved runs; with fsync_of, one more untimed run of it per round measures its fsync."""
    fsyncs = []
    for tool in tools:  # warm-up: fills the page cache with the corpus
        tool.run(record=False)
    for i in range(runs):
        shift = i % len(tools)
        for tool in tools[shift:] + tools[:shift]:
            tool.run()
        if fsync_of is not None:
            seconds = fsync_seconds(fsync_of)
            if seconds is not None:
                fsyncs.append(seconds)
    return fsyncs


def mounts():
    with open("/proc/self/mountinfo") as f:
        return {line.split()[4].replace("\\040", " ") for line in f}


def wait_for_mount(point, present, process=None):
    """Waits until `point` is (or is no longer) a mount point: the kernel wakes a poll on the
    mount list at every change."""
    with open("/proc/self/mountinfo") as f:
        poller = select.poll()
        poller.register(f, select.POLLPRI)
        while (point in mounts()) != present:
            if process is not None and process.poll() is not None:
                raise SystemExit("bench: zem mount ended (%d) before mounting" % process.returncode)
            poller.poll(1000)


def mount_tools(name, root, work, zem_exe):
    """The commands on a mounted archive of root against the same commands on root itself; the
    archive stays mounted (zem mount -f, so that its server's peak RSS can be read) until the
    returned stop() unmounts it."""
    archive = root + ".zem"
    point = os.path.join(work, "mnt")
    fresh = os.path.join(work, "mnt-fresh")
    os.makedirs(point, exist_ok=True)
    os.makedirs(fresh, exist_ok=True)
    server = subprocess.Popen([zem_exe, "mount", "-f", archive, point])
    wait_for_mount(point, True, server)
    tar_out = os.path.join(work, "out.tar")
    tools = [Tool("zem mount (until ready; unmounted untimed)", [zem_exe, "mount", archive, fresh],
                  after=[zem_exe, "unmount", fresh])]
    for label, folder in (("mounted", point), ("source", root)):
        tools += [
            Tool("tar -cf, %s" % label, ["tar", "-cf", tar_out, "-C", folder, "."], output=tar_out),
            Tool("find -type f | wc -l, %s" % label,
                 ["sh", "-c", "find \"$1\" -type f | wc -l", "sh", folder]),
        ]
        if name != "mount-wide":
            tools.append(Tool("cat every file, %s" % label,
                              ["sh", "-c", "find \"$1\" -type f -print0 | xargs -0 cat >/dev/null",
                               "sh", folder]))
    # The first walk and the first reads of a fresh mount, when the kernel has cached none of its
    # names and bytes; the source read from the disk itself (O_DIRECT) is their peer.
    fresh_run = "\"$1\" mount \"$2\" \"$3\" && %s && \"$1\" unmount \"$3\""
    tools.append(Tool("find -type f | wc -l, fresh mount (mount and unmount included)",
                      ["sh", "-c", fresh_run % "find \"$3\" -type f | wc -l",
                       "sh", zem_exe, archive, fresh]))
    if name == "mount-large":
        tools.append(Tool("cat every file, fresh mount (mount and unmount included)",
                          ["sh", "-c", fresh_run % "find \"$3\" -type f -print0 | xargs -0 cat >/dev/null",
                           "sh", zem_exe, archive, fresh]))
        tools.append(Tool("every file read from the disk (dd iflag=direct), source",
                          ["sh", "-c", "find \"$1\" -type f -exec dd if={} of=/dev/null bs=1M "
                           "iflag=direct status=none \\;", "sh", root]))

    def stop():
        with open("/proc/%d/status" % server.pid) as f:
            peak = [line.split()[1] for line in f if line.startswith("VmHWM:")]
        server.send_signal(signal.SIGTERM)
        if server.wait() != 0:
            raise SystemExit("bench: zem mount -f ended with %d" % server.returncode)
        wait_for_mount(point, False)
        return int(peak[0]) if peak else None
    return tools, stop


def corpus_bytes(root):
    """The bytes of the files under root."""
    total = 0
    for folder, _, names in os.walk(root):
        for name in names:
            total += os.lstat(os.path.join(folder, name)).st_size
    return total


def direct_write_argv(path, size):
    """dd writing `size` bytes (rounded up to a whole MiB) of zeros past the page cache: how fast
    this disk takes that many bytes at best. Blocks of 64 MiB where they add up exactly."""
    block = 64 * corpus.MIB if size > 0 and size % (64 * corpus.MIB) == 0 else corpus.MIB
    count = max(1, -(-size // block))
    return ["dd", "if=/dev/zero", "of=" + path, "bs=%d" % block, "count=%d" % count,
            "oflag=direct", "status=none"]


def median(values):
    return statistics.median(values) if values else float("nan")


def machine_text(work):
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    fs = subprocess.run(["df", "-T", work], capture_output=True, text=True).stdout.splitlines()
    fstype = fs[-1].split()[1] if len(fs) > 1 else "?"
    return "%d cores (%s), %s file system, Linux %s" % (
        os.cpu_count() or 0, cpu, fstype, platform.release())


def call_cost(launcher, instructions):
    """Microseconds one system call takes with `instructions` of seccomp filter in its way."""
    out = subprocess.run([launcher, str(instructions), "--call-cost"], check=True,
                         capture_output=True, text=True).stdout
    return float(out)


def dear_instructions(launcher, dearer):
    """How many filter instructions add `dearer` microseconds to each system call here."""
    probe = 2000
    cheap = statistics.median(call_cost(launcher, 0) for _ in range(3))
    dear = statistics.median(call_cost(launcher, probe) for _ in range(3))
    per_instruction = max((dear - cheap) / probe, 1e-6)
    return max(1, min(28000, int(round(dearer / per_instruction))))


def on_dear_machine(tool, launcher, instructions):
    """The same command, its system calls each made dearer."""
    twin = Tool(tool.name, [launcher, str(instructions)] + tool.argv, tool.stdin_bytes,
                tool.output, tool.stdout_path, tool.after, tool.fresh_dir, tool.make_dir)
    twin.machine = "dear"
    return twin


def zem_tools(name, root, work, exe, zem_exe, others, other_zems):
    """The zem command timed on the corpus (first), its peers, and the other builds."""
    archive = root + ".zem"
    if name == "wide":
        zem = Tool("zem", [exe, root], b"", output=archive)  # empty input = Cancel
        peers = [Tool("find", ["find", root, "-type", "f", "-printf", "%s %T@\\n"])]
        extra = [Tool(n, argv + [root], b"", output=archive) for n, argv in others]
        return [zem] + peers + extra
    if name == "extract":
        # The archive and a tar of the same files, made untimed; each run writes into a folder
        # that isn't there yet (zem makes it, tar is given it empty, as tar -xf -C needs).
        run_once([exe, root], b"\n\n")
        tar_in = os.path.join(work, "extract.tar")
        run_once(["tar", "-cf", tar_in, "-C", root, "."])
        dest = os.path.join(work, "extracted")
        zem = Tool("zem extract", [zem_exe, "extract", archive, "{dest}"], fresh_dir=dest)
        # zem extract syncs the file system for each batch of files' data before their names,
        # and once more at the end; tar followed by sync -f is as durable once done.
        peers = [Tool("tar -xf", ["tar", "-xf", tar_in, "-C", "{dest}"], fresh_dir=dest,
                      make_dir=True),
                 Tool("tar -xf+sync", ["sh", "-c", "tar -xf \"$1\" -C \"$2\" && sync -f \"$2\"",
                                       "sh", tar_in, "{dest}"], fresh_dir=dest, make_dir=True)]
        extra = [Tool(n, argv + ["extract", archive, "{dest}"], fresh_dir=dest)
                 for n, argv in other_zems]
        return [zem] + peers + extra
    zem = Tool("zem", [exe, root], b"\n\n", output=archive)
    tar_out = os.path.join(work, "out.tar")
    copy_out = os.path.join(work, "out.cat")
    direct_out = os.path.join(work, "out.dd")
    copy = "find \"$1\" -type f -print0 | xargs -0 cat >\"$2\""
    tar = "tar -cf \"$1\" -C \"$2\" \"$3\""
    peers = [
        # The floor: the corpus's bytes written straight to the disk, nothing read.
        Tool("dd-direct", direct_write_argv(direct_out, corpus_bytes(root)), output=direct_out),
        Tool("tar", ["tar", "-cf", tar_out, "-C", work, name], output=tar_out),
        # The archive made as durable as zem's.
        Tool("tar+sync", ["sh", "-c", tar + " && sync \"$1\"", "sh", tar_out, work, name],
             output=tar_out),
        Tool("copy", ["sh", "-c", copy, "sh", root, copy_out], output=copy_out),
        # The copy made as durable as the archive: a fair peer for the fsync.
        Tool("copy+sync", ["sh", "-c", copy + " && sync \"$2\"", "sh", root, copy_out],
             output=copy_out),
    ]
    extra = [Tool(n, argv + [root], b"\n\n", output=archive) for n, argv in others]
    if zem_exe and name == "small":
        # The same packing without questions, and the cost of sorting each folder.
        created = os.path.join(work, "created.zem")
        extra += [Tool("zem create", [zem_exe, "create", "-o", created, root], output=created),
                  Tool("zem create --sort=name",
                       [zem_exe, "create", "--sort=name", "-o", created, root], output=created)]
    return [zem] + peers + extra


def named_commands(pairs):
    """NAME=COMMAND pairs as (name, argv); the command is split as a shell would."""
    commands = []
    for pair in pairs:
        name, command = pair.split("=", 1)
        argv = shlex.split(command)
        argv[0] = os.path.abspath(argv[0]) if os.path.exists(argv[0]) else argv[0]
        commands.append((name, argv))
    return commands


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True, help="the zem-builder to time")
    parser.add_argument("--runs", type=int, default=5, help="timed runs of each command (>= 5)")
    # extract first: the other corpora delete many files, which slows the making of new ones for
    # a while (see Tool).
    parser.add_argument("--corpora", default="extract,small,large,wide",
                        help="comma-separated subset of small,large,wide,extract, million (wide "
                             "with a million files, for the peak RSS) and the mount corpora "
                             "mount-small,mount-large,mount-wide (the same trees packed, mounted "
                             "with zem mount and read back; they need --zem and FUSE)")
    parser.add_argument("--also", action="append", default=[], metavar="NAME=COMMAND",
                        help="another zem-builder to time alongside (e.g. an older build, or "
                             "'env VAR=VALUE /path/zem-builder')")
    parser.add_argument("--also-zem", action="append", default=[], metavar="NAME=COMMAND",
                        help="another zem program to time alongside on the extract corpus")
    parser.add_argument("--dir", default=None, help="where to make the temporary folder")
    parser.add_argument("--zem", default=None,
                        help="the zem program: times zem create on the small corpus and zem "
                             "extract on the extract corpus; the mount corpora need it")
    parser.add_argument("--dearer", type=float, default=None, metavar="MICROSECONDS",
                        help="also time every command with each of its system calls made this "
                             "much dearer (through --launcher), interleaved with the others")
    parser.add_argument("--launcher", default=None,
                        help="the dear-calls program that --dearer runs the commands under")
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("--runs must be at least 5")
    if args.dearer is not None and not args.launcher:
        parser.error("--dearer needs --launcher")
    for tool in ("tar", "find", "cat", "xargs", "sync", "dd"):
        if not shutil.which(tool):
            raise SystemExit("bench: %s is needed" % tool)
    exe = os.path.abspath(args.exe)
    zem_exe = os.path.abspath(args.zem) if args.zem else None
    others = named_commands(args.also)
    other_zems = named_commands(args.also_zem)
    corpora = args.corpora.split(",")
    if "extract" in corpora and not zem_exe:
        raise SystemExit("bench: the extract corpus needs --zem")

    work = tempfile.mkdtemp(prefix="zem-bench-", dir=args.dir)
    global RSS_FILE
    if os.access(TIME, os.X_OK):
        RSS_FILE = os.path.join(work, "rss.txt")
    else:
        print("bench: %s (package time) is missing: no peak RSS" % TIME)
    print("machine: " + machine_text(work))
    machines = ["cheap"]
    instructions = 0
    if args.dearer is not None:
        launcher = os.path.abspath(args.launcher)
        instructions = dear_instructions(launcher, args.dearer)
        machines.append("dear")
        print("system call (getppid): %.3f µs as it is; %.3f µs with %d instructions of seccomp "
              "filter in its way (the dear machine)" % (
                  call_cost(launcher, 0), call_cost(launcher, instructions), instructions))
    print("runs: %d of each, interleaved, after one warm-up round; hot page cache" % args.runs)
    rows = []
    try:
        for name in corpora:
            root = os.path.join(work, name)
            started = time.perf_counter()
            makers = {"small": corpus.make_small, "large": corpus.make_large,
                      "wide": corpus.make_wide, "extract": corpus.make_extract,
                      "million": corpus.make_million}
            makers[name[len("mount-"):] if name.startswith("mount-") else name](root)
            subprocess.run(["sync"], check=True)  # the corpus itself is on disk before timing
            print("made corpus %s in %.1f s" % (name, time.perf_counter() - started), flush=True)
            archive = root + ".zem"
            if name.startswith("mount-"):
                if not zem_exe:
                    raise SystemExit("bench: the mount corpora need --zem")
                run_once([exe, root], b"\n\n")  # the archive to mount, untimed
                tools, stop = mount_tools(name, root, work, zem_exe)
                try:
                    measure(tools, args.runs)
                finally:
                    server_rss = stop()
                rows.append((name, tools, None))
                if server_rss is not None:
                    print("%s: peak RSS of the mount's server %.1f MiB" % (name, server_rss / 1024.0))
                remove(archive)
                shutil.rmtree(root)
                continue
            tools = zem_tools("wide" if name == "million" else name, root, work, exe, zem_exe,
                              others, other_zems)
            if args.dearer is not None:
                tools += [on_dear_machine(t, launcher, instructions) for t in tools]
            durable = name in ("small", "large")
            fsyncs = measure(tools, args.runs, tools[0] if durable else None)
            for tool in tools:
                tool.clear_folders()
            rows.append((name, tools, median(fsyncs) if fsyncs else None))
            remove(archive)
            shutil.rmtree(root)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print()
    print("| corpus | machine | command | median wall s | zem / it | peak RSS MiB |")
    print("|---|---|---|---|---|---|")
    for name, tools, fsync in rows:
        for machine in machines:
            group = [t for t in tools if t.machine == machine]
            if not group:
                continue
            zem_time = median(group[0].times)
            for tool in group:
                t = median(tool.times)
                ratio = "" if tool is group[0] else "%.2f" % (zem_time / t)
                if name.startswith("mount-"):
                    # Each command on the mount against the same command on the source folder.
                    peer = next((p for p in group
                                 if p.name == tool.name.replace(", mounted", ", source")
                                 and p is not tool), None)
                    ratio = "%.2f" % (t / median(peer.times)) if peer else ""
                rss = [r for r in tool.rss if r is not None]
                print("| %s | %s | %s | %.3f | %s | %s |" % (
                    name, machine, tool.name, t, ratio,
                    "%.1f" % (max(rss) / 1024.0) if rss else "?"))
            if fsync is not None and machine == "cheap":
                print("| %s | %s | zem's time in fsync (strace -T, untimed runs) | %.3f | | |" % (
                    name, machine, fsync))
                rest = zem_time - fsync
                print("| %s | %s | zem less its fsync time (derived) | %.3f | %s | |" % (
                    name, machine, rest, " ".join("%s %.2f" % (t.name, rest / median(t.times))
                                                  for t in group[1:]
                                                  if t.name in ("tar", "copy"))))
    print()
    print("| corpus | machine | zem / each (median of %d) |" % args.runs)
    print("|---|---|---|")
    for name, tools, _ in rows:
        if name.startswith("mount-"):
            continue
        for machine in machines:
            group = [t for t in tools if t.machine == machine]
            zem_time = median(group[0].times)
            print("| %s | %s | %s |" % (name, machine, ", ".join(
                "%.2f × %s" % (zem_time / median(t.times), t.name) for t in group[1:])))
    if any(name.startswith("mount-") for name, _, _ in rows):
        print("(mount corpora: the ratio is the command on the mount over the same command on the"
              " source folder)")
    print()
    for name, tools, _ in rows:
        for tool in tools:
            print("%s %s %s runs: %s" % (name, tool.machine, tool.name,
                                         " ".join("%.3f" % t for t in tool.times)))


if __name__ == "__main__":
    main()
