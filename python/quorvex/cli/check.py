"""``quorvex check``: checks the records of keys derived before, as
``sha256sum -c`` checks sums."""

from __future__ import annotations

import argparse
import functools
import json
import sys
from typing import Any

from .. import _host
from .arguments import (
    FILE_COMPLETION,
    VersionAction,
    add_jobs_option,
    add_zero_option,
    default_jobs,
)
from .images import (
    UNSERVED_THREADS,
    Source,
    StandardInputImage,
    reason,
    unreadable,
    unserved,
    warnings_into,
)
from .jobs import Jobs, Outcome, emit_messages, running
from .streams import (
    ESCAPED_IN_CHECKS,
    EXIT_FAILED,
    EXIT_OK,
    EXIT_STATUS_HELP,
    STDIN,
    Output,
    say,
    write,
)

def add_command(commands: Any) -> None:
    check = commands.add_parser(
        "check", help="check key records",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXIT_STATUS_HELP,
        description="Check records printed by 'quorvex key --json': derive each key again "
                    "from its image with the recorded inputs (the thread count included), "
                    "compare it with the recorded key in constant time and print "
                    "'IMAGE: OK' or 'IMAGE: FAILED', in the order of the records. A line "
                    "that is not a record fails (as with sha256sum --strict): a record file "
                    "is written by quorvex alone, and a damaged line is a key that was not "
                    "checked. When records fail, a summary goes to standard error. The exit "
                    "status is 0 only if every record matches.")
    records = check.add_argument("records", nargs="*", metavar="RECORDS",
                                 help="files of JSON Lines records (- or none: standard input)")
    setattr(records, "complete", FILE_COMPLETION)
    check.add_argument("-q", "--quiet", action="store_true",
                       help="do not print OK for each matching record, nor warnings about "
                            "the images")
    check.add_argument("--status", action="store_true",
                       help="print nothing but errors that stop a record being read; the exit "
                            "status tells")
    check.add_argument("--strict", action="store_true",
                       help="a line that is not a record fails (the default; kept for "
                            "sha256sum habits)")
    check.add_argument("-w", "--warn", action="store_true",
                       help="name each line that is not a record, with --status too (it is "
                            "named by default)")
    check.add_argument("--ignore-missing", action="store_true",
                       help="skip records whose image file does not exist")
    add_jobs_option(check, "check")
    add_zero_option(check)
    check.add_argument("-V", "--version", action=VersionAction)
    check.set_defaults(run=run, parser=check)


def run(args: argparse.Namespace) -> int:
    checker = _Checker(args)
    with running(Jobs(args.jobs or default_jobs(), checker.emit)) as jobs:
        for source in args.records or [STDIN]:
            checker.check_file(source, jobs)
    return checker.finish()


class _Checker:
    """Reads records and checks them, counting the outcomes."""

    def __init__(self, args: argparse.Namespace) -> None:
        self._args = args
        self._output = Output(args.zero, ESCAPED_IN_CHECKS)
        self._records_from_stdin = STDIN in args.records or not args.records
        self._stdin_image = StandardInputImage()
        self._shown_warnings: set[str] = set()
        self.counts = {verdict: 0 for verdict in
                       ("ok", "mismatch", "unreadable", "unchecked", "missing", "malformed")}

    def check_file(self, source: str, jobs: Jobs) -> None:
        try:
            lines = _read_lines(source)
        except OSError as error:
            jobs.add_outcome(Outcome("unreadable", errors=[
                f"cannot read records {source!r}: {reason(error)}"]))
            return
        for number, line in enumerate(lines, 1):
            if line.strip():
                self._check_line(f"{source}:{number}", line, jobs)

    def _check_line(self, where: str, line: bytes, jobs: Jobs) -> None:
        try:
            record = json.loads(line)
            derivation = _host.Derivation.from_json(record)
            name = _host.recorded_image(record, standard_input=True)
        except (ValueError, RecursionError) as error:
            jobs.add_outcome(Outcome("malformed", errors=[f"{where}: {_malformed(error)}"]))
            return
        if name == STDIN:
            if self._records_from_stdin:
                jobs.add_outcome(Outcome("malformed", errors=[
                    f"{where}: the image is standard input, which holds the records"]))
                return
        source = Source(name, self._stdin_image)
        jobs.add(functools.partial(self._verify, source, derivation))

    def _verify(self, source: Source, derivation: _host.Derivation) -> Outcome:
        outcome = Outcome("ok")
        try:
            with warnings_into(outcome.warnings, source.label):
                with source.opened() as image:
                    derivation.verify(image)
        except _host.KeyMismatchError:
            outcome.verdict = "mismatch"
        except FileNotFoundError as error:
            if self._args.ignore_missing:
                return Outcome("missing")
            outcome.verdict = "unreadable"
            outcome.errors.append(unreadable(source.label, error))
        except (OSError, MemoryError) as error:
            outcome.verdict = "unreadable"
            outcome.errors.append(unreadable(source.label, error))
        except UNSERVED_THREADS as error:
            outcome.verdict = "unchecked"
            outcome.errors.append(unserved(source.label, error))
        verdict = {"ok": "OK", "unreadable": "FAILED open or read"}.get(outcome.verdict, "FAILED")
        outcome.output = self._output.line(f"{{name}}: {verdict}", name=source.label)
        return outcome

    def emit(self, outcome: Outcome) -> None:
        args = self._args
        self.counts[outcome.verdict] += 1
        fresh = [message for message in outcome.warnings if message not in self._shown_warnings]
        self._shown_warnings.update(fresh)
        outcome.warnings = fresh  # each image's warnings once, not once per record
        if outcome.verdict == "malformed" and args.status and not args.warn:
            outcome.errors = []
        emit_messages(outcome, show_warnings=not (args.quiet or args.status))
        if args.status or (args.quiet and outcome.verdict == "ok"):
            return
        write(outcome.output)

    def finish(self) -> int:
        counts = self.counts
        checked = sum(counts.values()) - counts["malformed"] - counts["missing"]
        failures = sum(counts.values()) - counts["ok"] - counts["missing"]
        if checked == 0 and failures == 0:
            say("error: no records to check" if counts["missing"] == 0
                 else "error: no image was checked: every one is missing")
            return EXIT_FAILED
        if not self._args.status:
            self._summarize(checked)
        return EXIT_OK if failures == 0 else EXIT_FAILED

    def _summarize(self, checked: int) -> None:
        counts = self.counts
        if counts["mismatch"]:
            say(f"WARNING: {counts['mismatch']} of {checked} keys did NOT match")
        unchecked = counts["unreadable"] + counts["unchecked"]
        if unchecked:
            say(f"WARNING: {unchecked} of {checked} records could not be checked")
        if counts["malformed"]:
            lines = counts["malformed"]
            say(f"WARNING: {lines} line{'s are' if lines > 1 else ' is'} not a key record")


def _malformed(error: BaseException) -> str:
    if isinstance(error, RecursionError):
        return "not a quorvex key record: nested too deeply"
    reason = str(error)
    if not reason.startswith("not a quorvex key record"):
        reason = f"not a quorvex key record: {reason}"
    return reason


def _read_lines(source: str) -> list[bytes]:
    if source == STDIN:
        return sys.stdin.buffer.read().splitlines()
    with open(source, "rb") as file:
        return file.read().splitlines()
