"""Writes the manual page of the quorvex command, made by argparse-manpage
from the command's own parser, to python/share/man/man1/quorvex.1 (shipped
in the wheel as data). Run after changing an option:

    python scripts/man_page.py

tests/test_cli_docs.py fails while the page in the tree is not what this
makes.
"""

import os
import sys

from argparse_manpage.manpage import Manpage

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python", "share",
                    "man", "man1", "quorvex.1")


def man_page() -> str:
    """The page's text, the same whenever it is made from the same parser."""
    from quorvex import cli

    # argparse wraps usage lines at the terminal's width; man wraps them
    # itself, for the reader's terminal.
    os.environ["COLUMNS"] = "10000"
    page = Manpage(cli.build_parser(), format="single-commands-section")
    page.description = "derive cryptographic keys from images"
    page.source = f"quorvex {cli.package_version()}"
    page.manual = "User Commands"
    page.date = ""  # the version says when; a date would change with every build
    return str(page)


if __name__ == "__main__":
    with open(PAGE, "w", encoding="utf-8") as file:
        file.write(man_page())
    sys.stdout.write(f"wrote {os.path.normpath(PAGE)}\n")
