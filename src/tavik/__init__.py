"""tavik: enumerations, records and UTC date-time helpers of the trading framework."""

from tavik import tavik as _native
from tavik.tavik import *  # noqa: F403

__all__ = list(_native.__all__)


def __getattr__(name):
    # Read on first use: importing importlib.metadata takes longer than importing tavik.
    if name == "__version__":
        from importlib.metadata import version

        globals()[name] = version("tavik")
        return globals()[name]
    raise AttributeError(f"module 'tavik' has no attribute {name!r}")
