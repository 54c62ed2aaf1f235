#!/usr/bin/env python3
"""The file managers' context menus, as cmake --install puts them in place: Dolphin's service
menus, Nemo's actions, Thunar's Send To entries and the "Open With" entry. Every file passes its
format check (desktop-file-validate, or Nemo's documented keys); each file manager offers
"Compress to .zem" on folders and "Extract here" and "Open as folder" on .zem files, nothing
else, and no launcher claims folders. Then each action's command line, expanded as its file
manager expands it, runs on a real folder or archive whose name needs quoting, and must do what
its name says. Exits 77 (skipped) when a tool is missing, except in CI (CI=true).
Usage: file_manager_test.py BUILD_FOLDER"""

import os
import shlex
import shutil
import subprocess
import sys
import tempfile

FOLDER, ARCHIVE = "folder", "archive"
COMPRESS, EXTRACT, OPEN = "Compress to .zem", "Extract here", "Open as folder"
# What each file manager must offer, and on what.
EXPECTED = {
    "Dolphin": {(FOLDER, COMPRESS), (ARCHIVE, EXTRACT), (ARCHIVE, OPEN)},
    "Nemo": {(FOLDER, COMPRESS), (ARCHIVE, EXTRACT), (ARCHIVE, OPEN)},
    "Thunar": {(FOLDER, COMPRESS), (ARCHIVE, EXTRACT), (ARCHIVE, OPEN)},
    "Open With": {(ARCHIVE, OPEN + " (ZEM Builder)")},
}
# Quoting, parentheses, an ampersand and a dollar: each would split or change an argument that a
# command line passed on unquoted.
NAME = "Mum's box (1) & $more"
NEMO_KEYS = {"Active", "Name", "Comment", "Exec", "Icon-Name", "Stock-Id", "Selection",
             "Extensions", "Mimetypes", "Separator", "Quote", "Dependencies", "Conditions",
             "EscapeSpaces", "Terminal"}


def fail(text):
    sys.exit("FAIL: " + text)


def skip(text):
    if os.environ.get("CI") == "true":
        fail(text)
    print("SKIP: " + text)
    sys.exit(77)


def read_groups(path):
    """The groups of a desktop-entry-style file: {group: {key: value}}, comments left out."""
    groups, group = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("[") and line.endswith("]"):
                group = groups.setdefault(line[1:-1], {})
            elif group is not None and "=" in line:
                key, value = line.split("=", 1)
                group[key.strip()] = value.strip()
            else:
                fail("%s: a line outside any group, or without =: %r" % (path, line))
    return groups


def unescape(value):
    """A desktop entry's string value: \\s, \\n, \\t, \\r and \\\\."""
    out, i = "", 0
    while i < len(value):
        if value[i] == "\\" and i + 1 < len(value):
            out += {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}.get(value[i + 1],
                                                                            value[i:i + 2])
            i += 2
        else:
            out += value[i]
            i += 1
    return out


def split_exec(value):
    """An Exec value's words, as freedesktop's desktop entries have them: separated by spaces,
    a word quoted in whole with double quotes, inside which \\" \\` \\$ \\\\ stand for the
    character."""
    words, word, started, i = [], "", False, 0
    text = unescape(value)
    while i < len(text):
        c = text[i]
        if c == '"':
            started, i = True, i + 1
            while i < len(text) and text[i] != '"':
                if text[i] == "\\" and i + 1 < len(text) and text[i + 1] in '"`$\\':
                    i += 1
                word += text[i]
                i += 1
            if i == len(text):
                fail("unterminated quote in Exec=%s" % value)
            i += 1
        elif c == " ":
            if started:
                words.append(word)
            word, started, i = "", False, i + 1
        else:
            word, started, i = word + c, True, i + 1
    if started:
        words.append(word)
    return words


def expand_desktop_exec(value, path):
    """The argument vector that a desktop entry's Exec value gives for one selected file, its
    field codes replaced (%f and %u run the program once per file). These files need no other
    field code than the file's."""
    argv = []
    for word in split_exec(value):
        if word in ("%f", "%F"):
            argv.append(path)
        elif word in ("%u", "%U"):
            argv.append("file://" + path)
        elif "%" in word.replace("%%", ""):
            fail("Exec=%s: a field code inside a word, or one other than the file's" % value)
        else:
            argv.append(word.replace("%%", "%"))
    return argv


def expand_nemo_exec(value, path, quote):
    """Nemo's expansion: %F and %U become the selection, put in the action's quotes; the line
    is then split into words as a shell would, without running one."""
    mark = {"double": '"%s"', "single": "'%s'", "backtick": "`%s`"}.get(quote, "%s")
    tokens = {"%F": mark % path, "%U": mark % ("file://" + path), "%%": "%"}
    line, i = "", 0
    while i < len(value):
        token = value[i:i + 2]
        if token in tokens:
            line, i = line + tokens[token], i + 2
        else:
            line, i = line + value[i], i + 1
    try:
        return shlex.split(line)
    except ValueError as e:
        fail("Exec=%s gives %s, which does not split into words: %s" % (value, line, e))


def validate(path, service):
    """desktop-file-validate; for a KDE service menu (Type=Service) the keys that the validator
    knows only for applications are KDE's own and pass."""
    r = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
    problems = [line for line in (r.stdout + r.stderr).splitlines() if line.strip()]
    if service:
        problems = [p for p in problems if not (
            'is present in group "Desktop Entry", but the type is "Service"' in p
            and any('key "%s"' % k in p for k in ("MimeType", "Actions", "TryExec")))]
    if problems:
        fail("desktop-file-validate %s:\n%s" % (path, "\n".join(problems)))


def kinds(types):
    """What a list of MIME types (or Nemo's extensions) applies to."""
    found = set()
    for t in filter(None, types.split(";")):
        if t.lower() in ("inode/directory", "dir"):
            found.add(FOLDER)
        elif t == "application/x-zem":
            found.add(ARCHIVE)
        else:
            fail("an action for %r, which is neither a folder nor a .zem file" % t)
    return found


def actions(share, bindir):
    """(file manager, kind, name, file, make argv for a path) of every installed action."""
    found = []

    def desktop_action(manager, path, group, main):
        for kind in kinds(main.get("MimeType", "")):
            found.append((manager, kind, group["Name"], path,
                          lambda p, e=group["Exec"]: expand_desktop_exec(e, p)))

    servicemenus = os.path.join(share, "kio", "servicemenus")
    for entry in sorted(os.listdir(servicemenus)):
        path = os.path.join(servicemenus, entry)
        validate(path, service=True)
        groups = read_groups(path)
        main = groups["Desktop Entry"]
        if main.get("Type") != "Service" or "KonqPopupMenu/Plugin" not in main.get(
                "X-KDE-ServiceTypes", ""):
            fail("%s is no KDE service menu" % path)
        for action in filter(None, main.get("Actions", "").split(";")):
            group = groups.get("Desktop Action " + action)
            if not group or "Name" not in group or "Exec" not in group:
                fail("%s: the action %s lacks its group, Name or Exec" % (path, action))
            desktop_action("Dolphin", path, group, main)

    sendto = os.path.join(share, "Thunar", "sendto")
    for entry in sorted(os.listdir(sendto)):
        path = os.path.join(sendto, entry)
        validate(path, service=False)
        main = read_groups(path)["Desktop Entry"]
        desktop_action("Thunar", path, main, main)

    applications = os.path.join(share, "applications")
    for entry in sorted(os.listdir(applications)):
        path = os.path.join(applications, entry)
        validate(path, service=False)
        main = read_groups(path)["Desktop Entry"]
        if "inode/directory" in main.get("MimeType", ""):
            fail("%s claims folders: it could become the program that opens them" % path)
        if entry != "zem-builder.desktop":  # the launcher, which desktop_entry_test.sh tests
            if main.get("NoDisplay") != "true":
                fail("%s would show in the menus" % path)
            desktop_action("Open With", path, main, main)

    nemo = os.path.join(share, "nemo", "actions")
    for entry in sorted(os.listdir(nemo)):
        path = os.path.join(nemo, entry)
        groups = read_groups(path)
        if not entry.endswith(".nemo_action") or list(groups) != ["Nemo Action"]:
            fail("%s: a .nemo_action file with the one group [Nemo Action]" % path)
        action = groups["Nemo Action"]
        unknown = {k for k in action if k.split("[")[0] not in NEMO_KEYS}
        missing = {"Name", "Exec", "Selection"} - set(action)
        if unknown or missing or ("Extensions" in action) == ("Mimetypes" in action):
            fail("%s: unknown keys %s, missing %s, or not one of Extensions and Mimetypes"
                 % (path, sorted(unknown), sorted(missing)))
        if action["Selection"].lower() not in ("s", "single"):
            fail("%s: Selection=%s, but the program takes one file" % (path, action["Selection"]))
        if action.get("Quote", "double") not in ("double", "single", "backtick"):
            fail("%s: Quote=%s" % (path, action["Quote"]))
        for program in filter(None, action.get("Dependencies", "").split(";")):
            if not os.access(os.path.join(bindir, program), os.X_OK):
                fail("%s depends on %s, which is not installed" % (path, program))
        types = action.get("Extensions", action.get("Mimetypes", ""))
        for kind in kinds(types):
            found.append(("Nemo", kind, action["Name"], path,
                          lambda p, e=action["Exec"], q=action.get("Quote"):
                          expand_nemo_exec(e, p, q)))
    return found


def run(argv, env, answers="\n\n"):
    r = subprocess.run(argv, input=answers, env=env, capture_output=True, text=True, timeout=300)
    return r.returncode, r.stdout + r.stderr


def same_tree(a, b):
    r = subprocess.run(["diff", "-r", a, b], capture_output=True, text=True)
    return r.returncode == 0, r.stdout + r.stderr


def main(build):
    for tool in ("cmake", "desktop-file-validate", "diff", "findmnt"):
        if not shutil.which(tool):
            skip("%s is missing; scripts/install-desktop-deps.sh installs it" % tool)
    fuse = os.access("/dev/fuse", os.R_OK | os.W_OK) and shutil.which("fusermount3")
    scratch, mounts = tempfile.mkdtemp(), []
    try:
        prefix = os.path.join(scratch, "prefix")
        r = subprocess.run(["cmake", "--install", build, "--prefix", prefix],
                           capture_output=True, text=True)
        if r.returncode != 0:
            fail("cmake --install failed:\n" + r.stdout + r.stderr)
        bindir, share = os.path.join(prefix, "bin"), os.path.join(prefix, "share")
        found = actions(share, bindir)
        for manager, expected in EXPECTED.items():
            offered = {(kind, name) for m, kind, name, _, _ in found if m == manager}
            if offered != expected:
                fail("%s offers %s, not %s" % (manager, sorted(offered), sorted(expected)))

        # The commands, as the file manager starts them: no terminal, no display here, so the
        # program asks its questions on standard input, which answers OK.
        stubs = os.path.join(scratch, "stubs")
        os.makedirs(stubs)
        with open(os.path.join(stubs, "xdg-open"), "w") as f:
            f.write('#!/bin/sh\nprintf "%s\\n" "$1" >>"$OPENED"\n')
        os.chmod(os.path.join(stubs, "xdg-open"), 0o755)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env["PATH"] = bindir + os.pathsep + stubs + os.pathsep + env.get("PATH", "")
        zem = os.path.join(bindir, "zem")
        for index, (manager, kind, name, path, argv_for) in enumerate(found):
            what = "%s's %r (%s)" % (manager, name, path)
            if name.startswith(OPEN) and not fuse:
                if os.environ.get("CI") == "true":
                    fail("/dev/fuse can't be used, so %s can't run in CI" % what)
                print("SKIP: %s: /dev/fuse or fusermount3 can't be used here" % what)
                continue
            work = os.path.join(scratch, "run%d" % index)
            original = os.path.join(work, "original")
            os.makedirs(os.path.join(original, "sub"))
            with open(os.path.join(original, "a.txt"), "w") as f:
                f.write("hello\n")
            with open(os.path.join(original, "sub", "b.bin"), "wb") as f:
                f.write(bytes(range(256)) * 40)
            folder, archive = os.path.join(work, NAME), os.path.join(work, NAME + ".zem")
            env["XDG_RUNTIME_DIR"] = os.path.join(work, "run")
            env["OPENED"] = os.path.join(work, "opened")
            os.makedirs(env["XDG_RUNTIME_DIR"])
            shutil.copytree(original, folder)
            if kind == ARCHIVE:
                code, out = run([zem, "create", "-o", archive, folder], env)
                if code != 0:
                    fail("zem create: " + out)
                shutil.rmtree(folder)
            mounts.append(os.path.join(env["XDG_RUNTIME_DIR"], "zem", NAME))
            argv = argv_for(folder if kind == FOLDER else archive)
            code, out = run(argv, env)
            if code != 0:
                fail("%s: %s ended with exit code %d:\n%s" % (what, argv, code, out))
            if name == COMPRESS:
                code, out = run([zem, "verify", archive, folder], env)
                if code != 0:
                    fail("%s: the archive is not the folder's: %s" % (what, out))
            elif name == EXTRACT:
                same, diff = same_tree(original, folder)
                if not same:
                    fail("%s: the unpacked folder differs:\n%s" % (what, diff))
            else:
                mount = mounts[-1]
                with open(env["OPENED"]) as f:
                    opened = f.read()
                same, diff = same_tree(original, mount)
                code, out = run([zem, "unmount", mount], env)
                if opened != mount + "\n" or not same or code != 0 or os.path.exists(mount):
                    fail("%s: xdg-open got %r; the mount differs (%s); unmount: %s"
                         % (what, opened, diff, out))
            print("%s ok" % what)
    finally:
        # A failed case may have left its mount.
        for mount in mounts:
            subprocess.run(["fusermount3", "-u", "-z", mount], capture_output=True)
        shutil.rmtree(scratch, ignore_errors=True)
    print("file manager actions ok")


if __name__ == "__main__":
    main(sys.argv[1])
