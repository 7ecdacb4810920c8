"""Argument parsing and printing for the quilletdb command.

Exit status: 0 when the command did what was asked (for check: the database
is sound), 1 when it could not or found a fault, 2 for a usage error, 130
when interrupted. Every failure is one line on stderr, never a traceback.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from typing import Any, Callable, Sequence

PROG = "quilletdb"

DUMP_ENCODING = """\
Records and values are printed as JSON, one line each. A dump line is
{"collection": ..., "key": ..., "value": ...}. Values: null, booleans,
integers and floats as JSON numbers (a float always has a "." or an
exponent), text as strings, lists as arrays, maps as objects (wrapped as
{"$map": {...}} when a key starts with "$"), and tagged objects for the rest:
{"$bytes": base64}, {"$link": path, "local": map}, {"$tombstone": true},
{"$date": n}, {"$time": n}, {"$datetime": n}, and {"$float": "NaN"},
{"$float": "inf"}, {"$float": "-inf"}."""


class Failure(Exception):
    """A failure already worded for the user."""


class ProgressBar:
    """A one-line bar on stderr, drawn only when stderr is a terminal."""

    WIDTH = 30

    def __init__(self, label: str) -> None:
        self.label = label
        self.shown = False
        self.last = 0.0

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if now - self.last < 0.1 and done < total:
            return
        self.last = now
        share = done / total if total else 1.0
        filled = int(share * self.WIDTH)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        sys.stderr.write(f"\r{self.label} [{bar}] {share:6.1%}")
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r" + " " * (len(self.label) + self.WIDTH + 11) + "\r")
            sys.stderr.flush()
            self.shown = False


def progress_for(label: str) -> ProgressBar | None:
    return ProgressBar(label) if sys.stderr.isatty() else None


def run_with_progress(label: str, work: Callable[[ProgressBar | None], Any]) -> Any:
    bar = progress_for(label)
    try:
        return work(bar)
    finally:
        if bar is not None:
            bar.clear()


def out(text: str = "") -> None:
    sys.stdout.write(text + "\n")


def write_json_text(text: str) -> None:
    # JSON Lines are UTF-8 whatever the locale says.
    sys.stdout.flush()
    sys.stdout.buffer.write(text.encode("utf-8"))


def human_bytes(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    size = float(n)
    for unit in ("KiB", "MiB", "GiB"):
        size /= 1024
        if size < 1024 or unit == "GiB":
            break
    return f"{size:.1f} {unit}"


def table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(header)]
    for row in [header, *rows]:
        cells = [cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        out("  ".join(cells).rstrip())


# ---------------------------------------------------------------------------
# Commands


def cmd_stat(q: Any, args: argparse.Namespace) -> int:
    stat = q._stat(args.dir)
    if args.json:
        out(json.dumps(stat))
        return 0
    rows = [
        [
            c["name"],
            str(c["live_keys"]),
            str(c["records"]),
            human_bytes(c["file_bytes"]),
            f"{c['dead_share']:.1%}",
            human_bytes(c["tail_bytes"]) if c["tail_bytes"] else "",
        ]
        for c in stat["collections"]
    ]
    table(["collection", "live keys", "records", "file", "dead", "torn tail"], rows)
    if stat["backlink_files"]:
        out()
        rows = [
            [
                b["name"],
                str(b["records"]),
                str(b["live_entries"]),
                human_bytes(b["file_bytes"]),
                human_bytes(b["tail_bytes"]) if b["tail_bytes"] else "",
            ]
            for b in stat["backlink_files"]
        ]
        table(["backlinks of", "records", "live entries", "file", "torn tail"], rows)
    return 0


def report_skipped(skipped: Sequence[Sequence[Any]]) -> int:
    """Lists on stderr the damaged stretches a command carried on past; the exit status."""
    sys.stdout.flush()
    for file, offset, size in skipped:
        sys.stderr.write(f"{PROG}: skipped {size} damaged bytes of {file} at offset {offset}\n")
    return 1 if skipped else 0


def cmd_dump(q: Any, args: argparse.Namespace) -> int:
    report = run_with_progress(
        "dump",
        lambda bar: q._dump_records(args.dir, args.collection, write_json_text, bar, args.skip_damaged),
    )
    return report_skipped(report["skipped"])


def cmd_get(q: Any, args: argparse.Namespace) -> int:
    write_json_text(q._get(args.dir, args.collection, args.key) + "\n")
    return 0


def cmd_backlinks(q: Any, args: argparse.Namespace) -> int:
    for entry in q._backlinks(args.dir, args.collection, args.key):
        write_json_text(json.dumps(entry, ensure_ascii=False) + "\n")
    return 0


def cmd_resolve(q: Any, args: argparse.Namespace) -> int:
    write_json_text(q._resolve(args.dir, args.collection, args.key, args.fields) + "\n")
    return 0


def cmd_check(q: Any, args: argparse.Namespace) -> int:
    report = run_with_progress("check", lambda bar: q._check(args.dir, bar))
    for file, offset, message in report["problems"]:
        where = f"{file} at offset {offset}" if offset is not None else file
        out(f"{where}: {message}")
    if report["problems_omitted"]:
        out(f"... and {report['problems_omitted']} more problems")
    for side_file in report["side_files"]:
        out(f"{side_file}: bytes repair removed, kept for a person to look at")
    summary = (
        f"{report['records']} records ({report['live_keys']} live) and "
        f"{report['backlink_records']} backlink records in {report['files']} files"
    )
    if report["sound"]:
        out(f"sound: {summary}")
        return 0
    count = len(report["problems"]) + report["problems_omitted"]
    out(f"{count} problem{'s' if count != 1 else ''} found in {summary}")
    return 1


def cmd_repair(q: Any, args: argparse.Namespace) -> int:
    def notice(text: str) -> None:
        out(text)
        sys.stdout.flush()

    report = run_with_progress("repair", lambda bar: q._repair(args.dir, notice, bar, args.dry_run))
    summary = (
        f"{report['tails_cut']} incomplete records cut ({report['tail_bytes_cut']} bytes), "
        f"{report['backlink_files_rebuilt']} backlink files rebuilt "
        f"({report['backlink_entries_added']} entries added, {report['backlink_entries_dropped']} dropped)"
    )
    if report["damaged_stretches"]:
        summary += (
            f", {report['damaged_stretches']} damaged stretches removed ({report['damaged_bytes']} bytes)"
        )
    out(f"dry run, nothing changed: would have {summary}" if args.dry_run else f"repaired: {summary}")
    if report["damaged_stretches"]:
        kept = "would be kept" if args.dry_run else "are kept"
        raise Failure(
            f"the log held damage, not only an interrupted write; the bytes removed {kept} in "
            + ", ".join(report["side_files"])
        )
    return 0


def cmd_compact(q: Any, args: argparse.Namespace) -> int:
    if args.out is None:
        # In place, through the same path a running program uses: others may
        # keep the directory open meanwhile.
        with q.open(args.dir) as db:
            report = db.compact()
        out(
            f"compacted {report['files']} files in place: "
            f"{human_bytes(report['bytes_before'])} -> {human_bytes(report['bytes_after'])}"
        )
        return 0
    report = run_with_progress(
        "compact", lambda bar: q._compact(args.dir, args.out, bar, args.skip_damaged)
    )
    out(
        f"compacted {report['records_read']} records into {report['records_written']} "
        f"and {report['backlink_entries']} backlink entries: "
        f"{human_bytes(report['bytes_read'])} -> {human_bytes(report['bytes_written'])} in {args.out}"
    )
    return report_skipped(report["skipped"])


def cmd_export(q: Any, args: argparse.Namespace) -> int:
    from quilletdb import export

    try:
        report = run_with_progress("export", lambda bar: export.export(args.dir, args.out, args.format, bar))
    except export.MissingDependency as missing:
        sys.stderr.write(f"{PROG}: {missing}\n")
        return 2
    except export.ExportError as error:
        raise Failure(str(error)) from None
    out(
        f"exported {report.records} records of {report.collections} collections "
        f"and {report.links} links as {args.format} into {args.out}"
    )
    return 0


# ---------------------------------------------------------------------------


def version() -> str:
    from quilletdb import __version__

    return __version__


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Look inside, check, repair and compact a QuilletDB database directory.",
        epilog=DUMP_ENCODING,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--version", action="version", version=f"{PROG} {version()}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[Any, argparse.Namespace], int], text: str) -> argparse.ArgumentParser:
        c = sub.add_parser(name, help=text, description=text)
        c.set_defaults(run=run)
        c.add_argument("dir", metavar="DIR", help="the database directory")
        return c

    c = command("stat", cmd_stat, "per collection its live keys, records, bytes and dead share; per backlink file its records and live entries")
    c.add_argument("--json", action="store_true", help="print the figures as one JSON object")
    skip_help = "carry on past damaged records, list them on stderr at the end, and exit with 1"
    c = command("dump", cmd_dump, "print every live record as JSON Lines")
    c.add_argument("collection", metavar="COLLECTION", nargs="?", help="only this collection")
    c.add_argument("--skip-damaged", action="store_true", help=skip_help)
    for name, run, text in (
        ("get", cmd_get, "print one record's value as JSON"),
        ("backlinks", cmd_backlinks, "print the records linking to one record, as JSON Lines"),
        ("resolve", cmd_resolve, "follow field names across maps and links from one record"),
    ):
        c = command(name, run, text)
        c.add_argument("collection", metavar="COLLECTION")
        c.add_argument("key", metavar="KEY")
        if name == "resolve":
            # No field at all gives the whole record (followed if it is a link).
            c.add_argument("fields", metavar="FIELD", nargs="*")
    command("check", cmd_check, "read every record and backlink, and report what is damaged or out of step (changes nothing)")
    c = command(
        "repair",
        cmd_repair,
        "keep every whole record, move damaged and incomplete ones to side files, rebuild every backlink file "
        "(no other program may have the database open)",
    )
    c.add_argument("--dry-run", action="store_true", help="report what repair would do and change nothing")
    c = command(
        "compact",
        cmd_compact,
        "rewrite every collection with only its live records, in place while other programs use it, or into OUT",
    )
    c.add_argument("out", metavar="OUT", nargs="?", help="a directory that does not exist yet, or is empty (without it: in place)")
    c.add_argument("--skip-damaged", action="store_true", help=skip_help)
    c = command(
        "export",
        cmd_export,
        "write a table of keys and values per collection and a table of every link (parquet needs pyarrow)",
    )
    c.add_argument("out", metavar="OUT", help="a directory that does not exist yet, or is empty")
    c.add_argument("--format", choices=("parquet", "jsonl"), default="parquet", help="the tables' format (default: parquet)")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        try:
            import _quilletdb as q
        except ImportError as error:
            raise Failure(f"the _quilletdb module cannot be loaded: {error}") from None
        status: int = args.run(q, args)
        sys.stdout.flush()
        return status
    except (Failure, RuntimeError) as error:
        message = str(error)
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (`quilletdb dump DIR | head`): not a failure.
        # Whatever is still buffered goes nowhere, so the exit flush is quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except OSError as error:
        message = str(error.strerror or error) + (f": {error.filename}" if error.filename else "")
    except Exception as error:  # noqa: BLE001 - one line, whatever went wrong
        message = f"unexpected {type(error).__name__}: {error}"
    sys.stderr.write(f"{PROG}: {message}\n")
    return 1
