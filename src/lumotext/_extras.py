"""The one place that says how to install an optional extra.

The package is built from its source tree (it is on no package index), so an extra is installed
from there too: ``pip install '.[qdrant]'``.
"""

from __future__ import annotations


def install_command(extra: str) -> str:
    return f"pip install '.[{extra}]' in the pylumotext source tree"


def missing_extra(what: str, extra: str, error: ImportError) -> ImportError:
    """The error for ``what`` (a module or function) used without its extra's packages."""
    return ImportError(f"{what} needs the {extra} extra: {install_command(extra)} ({error})")
