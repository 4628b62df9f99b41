"""The ``voriviv-cli`` directive: the command line's help, taken from its parser.

Renders ``build_parser()`` of :mod:`voriviv.cli` at build time: the help of
the command itself, then one section per subcommand (in the parser's order)
holding the text ``voriviv COMMAND --help`` prints. The page
therefore cannot drift from the command. Each section is a label
``cli-COMMAND`` that other pages can reference (``{ref}`cli-gdb2pg```).

The help is rendered 88 columns wide, and the CPU count in the ``--threads``
defaults reads "the CPU count" instead of this machine's number.
"""
from __future__ import annotations

import argparse
import os
from unittest import mock

from docutils import nodes
from sphinx.util.docutils import SphinxDirective


def _subcommands(parser: argparse.ArgumentParser):
    for action in parser._actions:  # argparse keeps subparsers only here
        if isinstance(action, argparse._SubParsersAction):
            yield from action.choices.items()


def _parser() -> argparse.ArgumentParser:
    from voriviv import cli
    # The defaults say "the CPU count" rather than the build machine's number.
    with mock.patch.object(cli, "default_threads", lambda: "N"), \
            mock.patch.dict(os.environ, {"COLUMNS": "88"}):
        parser = cli.build_parser()
    return parser


def _help(parser: argparse.ArgumentParser) -> str:
    with mock.patch.dict(os.environ, {"COLUMNS": "88"}):
        return parser.format_help().rstrip() + "\n"


class CliHelp(SphinxDirective):
    has_content = False

    def _section(self, label: str, title: str, text: str) -> nodes.section:
        section = nodes.section()
        section["names"].append(label)
        self.state.document.note_explicit_target(section)
        section += nodes.title(title, "", nodes.literal(title, title))
        block = nodes.literal_block(text, text)
        block["language"] = "text"
        section += block
        return section

    def run(self):
        self.env.note_dependency(__file__)
        from voriviv import cli
        self.env.note_dependency(cli.__file__)
        parser = _parser()
        prog = parser.prog
        out = [self._section("cli-voriviv", prog, _help(parser))]
        for name, sub in _subcommands(parser):
            out.append(self._section(f"cli-{name}", f"{prog} {name}", _help(sub)))
        return out


def setup(app):
    app.add_directive("voriviv-cli", CliHelp)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
