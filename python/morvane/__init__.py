"""morvane: find and prove equivalences between small quantum circuits.

The classes live in the native module ``morvane.morvane``; this package re-exports them.
"""

from . import morvane as _native
from .morvane import *  # noqa: F401,F403

__all__ = list(_native.__all__)
