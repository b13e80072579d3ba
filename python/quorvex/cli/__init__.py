"""The quorvex command line: ``quorvex key`` derives keys from images,
``quorvex check`` checks the records of keys derived before and
``quorvex calibrate`` finds the walk steps for a target time.

Every failure is one line on standard error and a documented exit status,
never a traceback. The console script enters through _quorvex_cli, which
owns Ctrl-C; main() here also runs on its own (python -m quorvex, tests).

The parser and the entry live here; each command has a module of its own
(key, check, calibrate), beside what they share: the standard streams,
the arguments, the jobs and the images."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

from _quorvex_cli import report_interrupted

from . import calibrate, check, key
from .._options import usable_cpu_count
from .arguments import VersionAction, default_jobs, package_version
from .calibrate import calibrated_steps
from .images import image_warnings_routed
from .streams import (
    EXIT_BROKEN_PIPE,
    EXIT_FAILED,
    EXIT_INTERNAL,
    EXIT_OK,
    EXIT_STATUS_HELP,
    EXIT_USAGE,
    discard_standard_output,
    prepare_standard_output,
    say,
)

# What callers of the package's command line use besides main: the parser
# (the man page and completion scripts are made from it) and the defaults
# that tests and benchmarks compare with.
__all__ = ["EXIT_STATUS_HELP", "build_parser", "calibrated_steps", "completion_script",
           "default_jobs", "main", "package_version", "usable_cpu_count"]

# The shells `--print-completion` writes a script for.
COMPLETION_SHELLS = ("bash", "zsh")


class _Parser(argparse.ArgumentParser):
    """Never abbreviates options; a usage error is one line naming the
    command (``quorvex key: error: ...``) and exit status 2."""

    def __init__(self, **kwargs: Any) -> None:
        super().__init__(allow_abbrev=False, **kwargs)

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        # A subcommand's parser is run through parse_known_args, whose
        # leftovers argparse reports in the name of `quorvex` alone; each
        # parser reports its own.
        parsed, extras = super().parse_known_args(args, namespace)
        if extras:
            self.error(f"unrecognized arguments: {' '.join(extras)}")
        return parsed, extras


class _CompletionAction(argparse.Action):
    """Prints a completion script for the whole command, made by shtab from
    this parser, and exits."""

    def __init__(self, option_strings: Sequence[str], dest: str, **_: Any) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         choices=COMPLETION_SHELLS, metavar="SHELL",
                         help="print a completion script for %s and exit"
                              % " or ".join(COMPLETION_SHELLS))

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        try:
            script = completion_script(str(values))
        except ImportError:  # a dependency of the package, but an install may lack it
            parser.error("argument --print-completion: needs shtab (pip install shtab)")
        print(script)
        parser.exit(EXIT_OK)


def completion_script(shell: str) -> str:
    """The completion script of ``quorvex`` for ``shell`` (bash or zsh)."""
    import shtab

    return shtab.complete(build_parser(), shell)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quorvex", description="Derive cryptographic keys from images.",
                     epilog=EXIT_STATUS_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-V", "--version", action=VersionAction)
    parser.add_argument("--print-completion", action=_CompletionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    for command in (key, check, calibrate):
        command.add_command(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    prepare_standard_output()
    try:
        with image_warnings_routed():
            return _run(argv)
    except KeyboardInterrupt:
        return report_interrupted()
    except BrokenPipeError:
        discard_standard_output()
        say("error: standard output closed early (broken pipe)")
        return EXIT_BROKEN_PIPE


def _run(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return EXIT_USAGE
    try:
        status: int = args.run(args)
    except BrokenPipeError:
        raise
    except OSError as error:  # the system refused: no space for the output, no thread, ...
        discard_standard_output()  # every finished line was flushed; the rest cannot be
        say(f"error: {error}")
        return EXIT_FAILED
    except Exception as error:  # a fault of quorvex itself: still one line
        say(f"internal error: {type(error).__name__}: {error}")
        return EXIT_INTERNAL
    except BaseException as error:
        if type(error).__name__ != "PanicException":  # Ctrl-C, exit
            raise
        say(f"internal error: {error.args[0] if error.args else error}")
        return EXIT_INTERNAL
    sys.stdout.flush()  # inside, so that a reader gone by now is reported
    return status
