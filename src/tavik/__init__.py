"""tavik: enumerations, records and UTC date-time helpers of the trading framework."""

from tavik import tavik as _native
from tavik.tavik import *  # noqa: F403

__all__ = list(_native.__all__)
