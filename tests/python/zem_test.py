"""The zem Python package over the built libzem, one test class per behaviour, each a CTest entry
(tests/python/CMakeLists.txt). Archives are made byte by byte here, so that damaged and hostile
ones can be made too; ZEM_EXE is the zem program the module's output is compared with."""

import datetime
import errno
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import zem

ZEM_EXE = os.environ.get("ZEM_EXE", "zem")


def archive_bytes(entries):
    """The archive of (name bytes, data bytes, time tuple or None) entries: header, data, index,
    records."""
    out = bytearray(28)
    offsets = []
    for _, data, _ in entries:
        offsets.append(len(out))
        out += data
    index_at = len(out)
    index, records = bytearray(), bytearray()
    for (name, data, when), offset in zip(entries, offsets):
        index += struct.pack("<I", len(records))
        records += struct.pack("<IIIHBBBBBx", offset, len(data), len(data), *(when or (0,) * 6))
        records += name + b"\0"
    out += index + records
    struct.pack_into("<12xIIII", out, 0, len(entries), len(records), index_at, 8)
    return bytes(out)


SOUND = [(b"a", b"alpha", None), (b"dir\\b", b"beta", (2020, 5, 6, 7, 8, 9))]


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zem-python-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, relative, data):
        os.makedirs(os.path.dirname(self.path(relative)), exist_ok=True)
        with open(self.path(relative), "wb") as f:
            f.write(data)
        return self.path(relative)


class OpenTest(Scratch):
    """Damaged bytes are refused when the archive is opened, from a path and from a file object;
    the system's failures are OSError with their errno."""

    def test_damage(self):
        sound = archive_bytes(SOUND)

        def changed(at, value):
            return sound[:at] + bytes([value]) + sound[at + 1:]
        cases = [
            ("sound", sound, None),
            ("one byte short", sound[:-1], zem.BadArchive),
            ("a byte too many", sound + b"\0", zem.BadArchive),
            ("header's fixed value", changed(24, 9), zem.BadArchive),
            ("file count past the index", changed(12, 200), zem.BadArchive),
            ("data offset past the data", changed(37 + 8, 0xF0), zem.BadArchive),
            ("empty", b"", zem.BadArchive),
        ]
        for what, data, failure in cases:
            for source in ("path", "file object"):
                with self.subTest(what, source=source):
                    file = self.write("a.zem", data) if source == "path" else io.BytesIO(data)
                    if failure is None:
                        with zem.ZemFile(file) as archive:
                            self.assertEqual(archive.namelist(), ["a", "dir\\b"])
                        continue
                    with self.assertRaises(failure) as caught:
                        zem.ZemFile(file)
                    self.assertEqual(caught.exception.code, 4)  # ZEM_ERROR_DAMAGED
                    if source == "path":
                        self.assertIn("a.zem: ", str(caught.exception))

    def test_system_failures(self):
        class FailingReads(io.BytesIO):
            def read(self, size=-1):
                raise OSError(errno.EIO, "no")
        cases = [
            ("missing", self.path("missing.zem"), FileNotFoundError, errno.ENOENT),
            ("a folder", self.dir, OSError, None),
            ("reads fail", FailingReads(archive_bytes(SOUND)), zem.BadArchive, None),
        ]
        for what, file, failure, number in cases:
            with self.subTest(what):
                with self.assertRaises(failure) as caught:
                    zem.ZemFile(file)
                if number is not None:
                    self.assertEqual(caught.exception.errno, number)
                    self.assertEqual(caught.exception.strerror,
                                     'cannot open "%s": No such file or directory' % file)


class LookupTest(Scratch):
    """Each entry's stored name, size, offset and time, names that aren't UTF-8 kept byte for
    byte, and getinfo by name."""

    def test_entries(self):
        entries = [
            (b"zeta", b"12345", (2026, 12, 7, 23, 9, 18)),
            (b"a\\b\\c", b"", None),
            (b"caf\xc3\xa9", b"xy", (1970, 1, 1, 0, 0, 0)),
            (b"\xff\x1b[31m", b"q", (2038, 12, 31, 23, 59, 59)),
            (b"zeta", b"second", None),
        ]
        expected = [("zeta", 5, 28, (2026, 12, 7, 23, 9, 18)), ("a\\b\\c", 0, 33, None),
                    ("caf\u00e9", 2, 33, (1970, 1, 1, 0, 0, 0)),
                    ("\udcff\x1b[31m", 1, 35, (2038, 12, 31, 23, 59, 59)),
                    ("zeta", 6, 36, None)]
        with zem.ZemFile(io.BytesIO(archive_bytes(entries))) as archive:
            infos = archive.infolist()
            self.assertEqual(archive.namelist(), [name for name, _, _, _ in expected])
            for info, (name, size, offset, when), (raw, data, _) in zip(infos, expected, entries):
                with self.subTest(name):
                    self.assertEqual((info.filename, info.file_size, info.offset, info.date_time),
                                     (name, size, offset, when))
                    self.assertEqual(info.filename.encode("utf-8", "surrogateescape"), raw)
                    self.assertEqual(archive.read(info), data)
            # A name stored twice (a damaged archive) finds the first.
            self.assertIs(archive.getinfo("zeta"), infos[0])
            self.assertEqual(archive.read("zeta"), b"12345")
            for absent in ("", "a", "a\\b", "Zeta", "caf\u00e9\\"):
                with self.subTest(absent=absent), self.assertRaises(KeyError):
                    archive.getinfo(absent)

    def test_closed(self):
        archive = zem.ZemFile(io.BytesIO(archive_bytes(SOUND)))
        entry = archive.open("a")
        archive.close()
        for what, call in (("read", lambda: archive.read("a")), ("open()'s file", entry.read),
                           ("check", archive.check)):
            with self.subTest(what), self.assertRaises(ValueError):
                call()


class EntryFileTest(Scratch):
    """open() gives a seekable file object that behaves as io.BytesIO over the same bytes and
    reads only the ranges asked for."""

    def test_against_bytes_io(self):
        data = bytes(range(256)) * 40 + b"line one\nline two\n"
        steps = [
            [("read", 10), ("tell",), ("read", 5)],
            [("seek", 100, 0), ("read", 3), ("seek", 7, 1), ("read", 2), ("tell",)],
            [("seek", -4, 2), ("read", 100), ("read", 1), ("read",)],
            [("seek", 20000, 0), ("read", 5), ("tell",), ("seek", -1, 1), ("read", 1)],
            [("seek", 10000, 0), ("readline",), ("readline",), ("readline",)],
            [("seek", 5000, 0), ("read",), ("seek", 0, 0), ("read", 4)],
            [("seek", 10, 0), ("readinto", 7), ("seek", -3, 1), ("readinto", 1)],
            [("seek", -1, 0)],
            [("seek", 0, 3)],
        ]
        with zem.ZemFile(io.BytesIO(archive_bytes([(b"x", b"before", None),
                                                   (b"f", data, None),
                                                   (b"y", b"after", None)]))) as archive:
            for sequence in steps:
                with self.subTest(sequence):
                    self.assertEqual(self.run_steps(archive.open("f"), sequence),
                                     self.run_steps(io.BytesIO(data), sequence))

    @staticmethod
    def run_steps(file, sequence):
        results = []
        for step in sequence:
            try:
                if step[0] == "readinto":
                    buffer = bytearray(step[1])
                    results.append((file.readinto(buffer), bytes(buffer)))
                else:
                    results.append(getattr(file, step[0])(*step[1:]))
            except (ValueError, OSError) as error:
                results.append(type(error))
        return results

    def test_reads_ranges(self):
        data = os.urandom(1 << 20)

        class Recorded(io.BytesIO):
            lengths = []

            def read(self, size=-1):
                self.lengths.append(size)
                return super().read(size)
        source = Recorded(archive_bytes([(b"big", data, None)]))
        with zem.ZemFile(source) as archive:
            source.lengths.clear()
            entry = archive.open("big")
            entry.seek(700000)
            self.assertEqual(entry.read(100), data[700000:700100])
            self.assertLess(sum(source.lengths), 64 * 1024)
            self.assertEqual(entry.read(), data[700100:])


class ExtractTest(Scratch):
    """extract and extractall refuse what zem extract refuses (each refusal's kind as its
    exception; the library's own tests go through every refusal), before writing anything, and
    write exactly the names given."""

    def test_refusals(self):
        OLD, LINK_OUT = "old", "link"
        cases = [
            ("every file", ["a", "sub\\b"], None, "", {}, None, "dest/sub/b", b"sub\\b"),
            ('a ".." component', ["a", "..\\evil"], None, "", {}, zem.BadArchive, "dest/a", None),
            ("unselected names are checked too", ["a", "..\\evil"], None, "",
             {"members": ["a"]}, zem.BadArchive, "dest/a", None),
            ("an existing file", ["b", "a"], OLD, "a", {}, zem.Refused, "dest/a", b"old"),
            ("an existing file replaced", ["b", "a"], OLD, "a", {"replace": True}, None,
             "dest/a", b"a"),
            ("a link on the way", ["a", "sub\\b"], LINK_OUT, "sub", {"replace": True},
             zem.Refused, "outside/b", None),
            ("members", ["a", "sub\\b", "sub\\c"], None, "", {"members": ["sub\\c"]}, None,
             "dest/sub/b", None),
            ("a member not stored", ["a"], None, "", {"members": ["a", "zzz"]}, KeyError,
             "dest/a", None),
            ("no members", ["a"], None, "", {"members": []}, None, "dest/a", None),
            ("pattern characters are names", ["a1", "a[1]", "a*"], None, "",
             {"members": ["a[1]"]}, None, "dest/a1", None),
        ]
        for what, names, setup, at, options, failure, check, text in cases:
            with self.subTest(what):
                self.setUp()
                archive = zem.ZemFile(io.BytesIO(archive_bytes(
                    [(n.encode(), n.encode(), (2020, 1, 2, 3, 4, 5)) for n in names])))
                os.mkdir(self.path("outside"))
                os.mkdir(self.path("dest"))
                if setup == OLD:
                    self.write(os.path.join("dest", at), b"old")
                elif setup == LINK_OUT:
                    os.symlink(self.path("outside"), self.path("dest", at))
                if failure is None:
                    archive.extractall(self.path("dest"), **options)
                else:
                    self.assertRaises(failure, archive.extractall, self.path("dest"), **options)
                try:
                    with open(self.path(check), "rb") as f:
                        self.assertEqual(f.read(), text)
                except OSError:
                    self.assertIsNone(text)
                self.assertFalse(os.path.lexists(self.path("evil")))
                self.assertFalse(os.path.lexists(self.path("outside", "b")))
                if failure is zem.BadArchive:
                    self.assertRaises(zem.BadArchive, archive.check)
                else:
                    self.assertIsNone(archive.check())

    def test_extract_one(self):
        archive = zem.ZemFile(io.BytesIO(archive_bytes([(b"d\\a*", b"star", None),
                                                        (b"d\\ab", b"ab", None)])))
        written = archive.extract("d\\a*", self.dir)
        self.assertEqual(written, self.path("d", "a*"))
        self.assertEqual(os.listdir(self.path("d")), ["a*"])
        self.assertRaises(zem.Refused, archive.extract, "d\\a*", self.dir)
        archive.extract(archive.getinfo("d\\a*"), self.dir, replace=True)
        self.assertRaises(zem.NotFound, archive.extract_matching, ["e"], self.dir)
        archive.extract_matching(["d"], self.path("all"))
        self.assertEqual(sorted(os.listdir(self.path("all", "d"))), ["a*", "ab"])


class CreateTest(Scratch):
    """create writes the bytes zem create writes with the same options, to a path or a file
    object, and refuses what it refuses."""

    def make_folder(self):
        for name, data in (("in/e", b"e"), ("in/b.tmp", b"bb"), ("in/d/c.txt", b"ccc")):
            self.write(name, data)
        os.utime(self.path("in/e"), (1600000000, 1600000000))

    def test_same_bytes_as_zem_create(self):
        self.make_folder()
        cases = [
            ("defaults", {}, [], {}),
            ("sorted", {"sort": True}, ["--sort=name"], {}),
            ("excluded", {"sort": True, "exclude": ["*.tmp", "d"]},
             ["--sort=name", "--exclude=*.tmp", "--exclude=d"], {}),
            ("one time, UTC", {"sort": True, "mtime": 946684800, "utc": True},
             ["--sort=name", "--mtime=@946684800", "--utc"], {}),
            ("a datetime", {"mtime": datetime.datetime(2000, 1, 1, tzinfo=datetime.timezone.utc)},
             ["--mtime=2000-01-01T00:00Z"], {}),
            ("a cap", {"sort": True, "mtime": 1700000000, "clamp_mtime": True},
             ["--sort=name", "--mtime=@1700000000", "--clamp-mtime"], {}),
            ("SOURCE_DATE_EPOCH", {"sort": True}, ["--sort=name"],
             {"SOURCE_DATE_EPOCH": "1650000000"}),
        ]
        for what, options, arguments, environment in cases:
            for output in ("path", "file", "BytesIO"):
                with self.subTest(what, output=output):
                    os.environ.update(environment)
                    try:
                        subprocess.run([ZEM_EXE, "create", "-o", self.path("zem.zem")] + arguments
                                       + [self.path("in")], check=True)
                        written = self.create(output, options)
                    finally:
                        for name in environment:
                            del os.environ[name]
                    with open(self.path("zem.zem"), "rb") as f:
                        self.assertEqual(written, f.read())

    def create(self, output, options):
        if output == "path":
            zem.create(self.path("in"), self.path("py.zem"), **options)
        elif output == "file":
            with open(self.path("py.zem"), "wb") as f:
                f.write(b"head")  # written after what the object holds, and its position follows
                zem.create(self.path("in"), f, **options)
                self.assertEqual(f.tell(), os.path.getsize(self.path("zem.zem")) + 4)
            with open(self.path("py.zem"), "rb") as f:
                self.assertEqual(f.read(4), b"head")
                return f.read()
        else:
            target = io.BytesIO()
            zem.create(self.path("in"), target, **options)
            return target.getvalue()
        with open(self.path("py.zem"), "rb") as f:
            return f.read()

    def test_refusals(self):
        self.make_folder()
        self.write("slash/a\\b", b"x")
        cases = [
            ("no folder", self.path("none"), {}, FileNotFoundError),
            ("a time past 2038", self.path("in"), {"mtime": 2240524800}, ValueError),
            ("a cap without a time", self.path("in"), {"clamp_mtime": True}, ValueError),
            ("a backslash in a name", self.path("slash"), {}, zem.Error),
        ]
        for what, folder, options, failure in cases:
            with self.subTest(what):
                self.assertRaises(failure, zem.create, folder, self.path("x.zem"), **options)
                self.assertFalse(os.path.exists(self.path("x.zem")))


class CliTest(Scratch):
    """python3 -m zem gives zem's output, messages and exit codes."""

    def run_both(self, arguments):
        """Runs zem and the module, each in a folder of its own (arguments below it relative),
        and gives each one's exit code, output and first line of messages."""
        results = []
        for label, program in (("zem", [ZEM_EXE]), ("py", [sys.executable, "-m", "zem"])):
            os.makedirs(self.path(label), exist_ok=True)
            done = subprocess.run(program + arguments, capture_output=True, cwd=self.path(label))
            results.append((done.returncode, done.stdout, done.stderr.split(b"\n")[0]))
        return results

    def test_same_as_zem(self):
        hostile = self.write("hostile.zem", archive_bytes([
            (b"\x1b[31mred\xe2\x80\xaex\xc2\x9by\xff", b"abc", None),
            (b"ok\\name", b"", (2038, 12, 31, 23, 59, 59)),
            (b"..\\evil", b"e", (1999, 1, 2, 3, 4, 5))]))
        sound_bytes = archive_bytes(SOUND)
        sound = self.write("sound.zem", sound_bytes)
        for label in ("zem", "py"):
            self.write(os.path.join(label, "here.zem"), sound_bytes)
            self.write(os.path.join(label, "linked.zem"), sound_bytes)
            os.mkdir(self.path(label, "elsewhere"))
            os.symlink("elsewhere", self.path(label, "linked"))
        damaged = self.write("damaged.zem", archive_bytes(SOUND)[:-1])
        self.write("in/f", b"f")
        # In order: each folder's state passes from one case to the next.
        cases = [
            ("list", ["list", hostile]),
            ("list, damaged", ["list", damaged]),
            ("list, missing", ["list", "missing.zem"]),
            ("extract, hostile", ["extract", hostile, "out"]),
            ("extract, selection", ["extract", sound, "-C", "sel", "dir"]),
            ("extract, nothing selected", ["extract", sound, "-C", "sel2", "zz"]),
            ("extract, an existing file", ["extract", sound, "sel"]),
            ("extract, replaced", ["extract", "--force", sound, "sel"]),
            ("extract, no folder in the name", ["extract", self.write("x.zip", sound_bytes)]),
            ("extract, into the archive's name", ["extract", "here.zem"]),
            ("extract, a link at the archive's name", ["extract", "linked.zem"]),
        ]
        for what, arguments in cases:
            with self.subTest(what):
                zem_result, python_result = self.run_both(arguments)
                self.assertEqual(python_result, zem_result)
        for label in ("zem", "py"):
            self.assertEqual(os.listdir(self.path(label, "elsewhere")), [])
            for written in ("sel/dir/b", "here/dir/b"):
                with open(self.path(label, written), "rb") as f:
                    self.assertEqual(f.read(), b"beta")
        subprocess.run([ZEM_EXE, "create", "--sort=name", "--mtime=2020-02-03T04:05", "-o",
                        self.path("zem.zem"), self.path("in")], check=True)
        for output in ([self.path("py.zem")], ["-"]):
            done = subprocess.run([sys.executable, "-m", "zem", "create", "--sort=name",
                                   "--mtime=2020-02-03T04:05", "-o"] + output + [self.path("in")],
                                  capture_output=True, check=True)
            with open(self.path("zem.zem"), "rb") as f:
                expected = f.read()
            if output == ["-"]:
                self.assertEqual(done.stdout, expected)
            else:
                with open(output[0], "rb") as f:
                    self.assertEqual(f.read(), expected)
        done = subprocess.run([sys.executable, "-m", "zem", "create", "--mtime=never",
                               self.path("in")], capture_output=True)
        self.assertEqual(done.returncode, 2)


if __name__ == "__main__":
    unittest.main()
