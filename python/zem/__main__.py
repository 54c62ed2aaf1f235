"""python3 -m zem list|extract|create: the zem program's commands where only the module is
installed, with its output, messages and exit codes (0 success, 1 a problem found, 2 a wrong
command line)."""

import argparse
import datetime
import re
import sys
from typing import Dict, List, NoReturn, Optional, Tuple

import zem

EXIT_PROBLEM = 1
EXIT_USAGE = 2


# What zem escapes: the code points a terminal takes as commands (C0 and C1 controls, DEL), those
# that reorder the text around them, and the bytes that are no part of valid UTF-8, which
# surrogateescape keeps as U+DC80 to U+DCFF.
_STEERING = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069"
                       "\udc80-\udcff]")


def _escape_one(match: "re.Match[str]") -> str:
    code_point = ord(match.group())
    if code_point >= 0xDC80:
        return "\\x%02X" % (code_point - 0xDC00)
    return ("\\x%02X" if code_point < 0x80 else "\\u%04X") % code_point


def escaped(text: str) -> str:
    """The text as zem shows names and paths: a byte that is no part of valid UTF-8, or a control
    character of one byte, as \\xNN; other characters that steer the display as \\uNNNN."""
    return _STEERING.sub(_escape_one, text)


def _message(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error.args[0]) if error.args else str(error)


def _fail(text: str, code: int = EXIT_PROBLEM) -> NoReturn:
    sys.stderr.write("zem: %s\n" % escaped(text))
    sys.exit(code)


def list_command(archive_path: str) -> None:
    out = sys.stdout.buffer
    with zem.ZemFile(archive_path) as archive:
        lines = []
        for info in archive.infolist():
            when = ("%04d-%02d-%02d %02d:%02d:%02d" % info.date_time if info.date_time
                    else "-")
            lines.append("%10d  %-19s  %s\n" % (info.file_size, when, escaped(info.filename)))
            if len(lines) >= 4096:
                out.write("".join(lines).encode())
                lines.clear()
        out.write("".join(lines).encode())


def _default_destination(archive_path: str) -> str:
    """The archive's path without .zem, as zem extract takes it; a wrong command line when the
    name gives no folder."""
    name = archive_path.rpartition("/")[2]
    stem = name[:-len(".zem")]
    problem = None
    if archive_path.endswith("/"):
        problem = "it ends in \"/\""
    elif not name.lower().endswith(".zem"):
        problem = "its name doesn't end in .zem"
    elif not stem:
        problem = "its name is just \"%s\", which leaves no folder name" % name
    elif stem in (".", ".."):
        problem = "its name without .zem is \"%s\", which names no folder of its own" % stem
    if problem:
        _fail("can't name a folder to extract \"%s\" into, as %s: give DEST"
              % (archive_path, problem), EXIT_USAGE)
    return archive_path[:-len(".zem")]


def extract_command(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    operands: List[str] = args.operands
    if args.directory is None and len(operands) > 1:
        parser.error("give the folder with -C DEST to extract only some files (\"%s\")"
                     % operands[1])
    with zem.ZemFile(args.archive) as archive:
        archive.check()  # the archive's problems before the command line's, as zem finds them
        # The folder chosen here, not by the user, is never reached through a link: the library
        # opens it relative to its parent and refuses a link there, even one planted meanwhile.
        chosen = args.directory is None and not operands
        if args.directory is None:
            destination = operands[0] if operands else _default_destination(args.archive)
            patterns: Optional[List[str]] = None
        else:
            destination = args.directory
            patterns = operands
        if patterns:
            archive.extract_matching(patterns, destination, replace=args.force)
        else:
            archive._extract(destination, None, args.force, no_link=chosen)  # noqa: SLF001


_WHEN = re.compile(r"(\d{4})-(\d\d)-(\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d))?)?"
                   r"(Z|[+-]\d\d:\d\d)?$")


def parse_when(text: str) -> int:
    """--mtime's WHEN: @SECONDS, or YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM|-HH:MM], local time without
    a zone; seconds since 1970 UTC."""
    if re.fullmatch(r"@-?\d+", text):
        return int(text[1:])
    match = _WHEN.match(text)
    if not match:
        raise ValueError("\"%s\" is not a time" % text)
    year, month, day, hour, minute, second = (int(g or 0) for g in match.groups()[:6])
    zone = match.group(7)
    tz = None
    if zone == "Z":
        tz = datetime.timezone.utc
    elif zone:
        sign = -1 if zone[0] == "-" else 1
        tz = datetime.timezone(sign * datetime.timedelta(hours=int(zone[1:3]),
                                                         minutes=int(zone[4:6])))
    return int(datetime.datetime(year, month, day, hour, minute, second, tzinfo=tz).timestamp())


def create_command(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    if args.clamp_mtime and args.mtime is None:
        parser.error("--clamp-mtime needs --mtime")
    mtime = None
    if args.mtime is not None:
        try:
            mtime = parse_when(args.mtime)
        except (ValueError, OverflowError, OSError):
            parser.error("--mtime: \"%s\" is not a time" % args.mtime)
    folder = args.folder
    if len(folder) > 1:
        folder = folder[:-1] if folder.endswith("/") else folder
    options = dict(sort=args.sort == "name", mtime=mtime, clamp_mtime=args.clamp_mtime,
                   utc=args.utc, exclude=args.exclude)
    try:
        if args.output == "-":
            if sys.stdout.isatty():
                parser.error("refusing to write an archive to a terminal")
            zem.create(folder, sys.stdout.buffer, **options)
        else:
            zem.create(folder, args.output or folder + ".zem", **options)
    except ValueError as error:  # a SOURCE_DATE_EPOCH or a time that can't be stored
        parser.error(_message(error))


def build_parser() -> Tuple[argparse.ArgumentParser, Dict[str, argparse.ArgumentParser]]:
    """The command line's parser, and one per command: each command's operands and options come
    in any order (parse_intermixed_args), as with zem (`extract ARCHIVE -C DEST NAME...`)."""
    parser = argparse.ArgumentParser(prog="python3 -m zem",
                                     description="List, extract and create .zem archives.")
    parser.add_argument("--version", action="version",
                        version="zem module, libzem %s" % zem.library_version())
    parser.add_argument("command", choices=("list", "extract", "create"))
    parser.add_argument("arguments", nargs=argparse.REMAINDER, help="the command's")

    def command(name: str, description: str) -> argparse.ArgumentParser:
        return argparse.ArgumentParser(prog="python3 -m zem " + name, description=description)
    listing = command("list", "Print each file's size, stored time and name.")
    listing.add_argument("archive", metavar="ARCHIVE")
    extract = command("extract", "Recreate the stored files below a folder.")
    extract.add_argument("-f", "--force", action="store_true", help="replace existing files")
    extract.add_argument("-C", "--directory", metavar="DEST",
                         help="the folder; then only the files the NAMEs select")
    extract.add_argument("archive", metavar="ARCHIVE")
    extract.add_argument("operands", nargs="*", metavar="DEST | NAME")
    create = command("create", "Write an archive of a folder.")
    create.add_argument("-o", "--output", metavar="FILE",
                        help="the archive (default: FOLDER.zem); - for standard output")
    create.add_argument("--sort", choices=("name", "none"), default="none")
    create.add_argument("--exclude", action="append", default=[], metavar="PATTERN")
    create.add_argument("--mtime", metavar="WHEN")
    create.add_argument("--clamp-mtime", action="store_true")
    create.add_argument("--utc", action="store_true")
    create.add_argument("folder", metavar="FOLDER")
    return parser, {"list": listing, "extract": extract, "create": create}


def main(argv: Optional[List[str]] = None) -> int:
    parser, commands = build_parser()
    chosen = parser.parse_args(argv)
    command = commands[chosen.command]
    args = command.parse_intermixed_args(chosen.arguments)
    try:
        if chosen.command == "list":
            list_command(args.archive)
        elif chosen.command == "extract":
            extract_command(args, command)
        else:
            create_command(args, command)
    except BrokenPipeError:
        return EXIT_PROBLEM
    except (zem.Error, OSError, ValueError, MemoryError) as error:
        _fail(_message(error))
    return 0


if __name__ == "__main__":
    sys.exit(main())
