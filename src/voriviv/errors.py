"""Errors of the Python layer that every floor may raise.

:class:`UsageError` is an argument or a command line that cannot be run: the
conversions raise it before any work, the command line turns it into exit
status 2.
"""
from __future__ import annotations

__all__ = ["UsageError"]


class UsageError(Exception):
    """A command line or argument that cannot be run (exit status 2)."""
