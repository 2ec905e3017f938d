"""tavik: enumerations, records and UTC date-time helpers of the trading framework."""

import copyreg as _copyreg

from tavik import tavik as _native
from tavik.tavik import *  # noqa: F403

__all__ = list(_native.__all__)

# The classes and members as the module built them, read before any other code could rebind a class
# attribute: a member is pickled by its class's and its own fixed name and unpickled from here.
_CLASSES = {name: cls for name, cls in vars(_native).items() if name in __all__ and isinstance(cls, type)}
_MEMBERS = {name: {k: v for k, v in vars(cls).items() if type(v) is cls} for name, cls in _CLASSES.items()}
_MEMBER_NAMES = {_CLASSES[name]: (name, {int(v): k for k, v in members.items()})
                 for name, members in _MEMBERS.items() if members}


def _member(enumeration, name):
    """The member object that a pickled or copied member becomes."""
    return _MEMBERS[enumeration][name]


def _reduce_member(member):
    enumeration, names = _MEMBER_NAMES[type(member)]
    return _member, (enumeration, names[int(member)])


class _Itself:
    """What copy and deepcopy call to rebuild a record: the record itself, which is immutable.  Pickle
    has to store this callable instead, which is refused: no Python call can set a record's fields."""

    __slots__ = ("record",)

    def __init__(self, record):
        self.record = record

    def __call__(self):
        return self.record

    def __reduce__(self):
        name = next(name for name, cls in _CLASSES.items() if cls is type(self.record))
        raise TypeError(f"cannot pickle {name!r} object: records are built by native code "
                        "and cannot be rebuilt from Python")


def _reduce_record(record):
    # No arguments: deepcopy copies only those, so it never descends into the record again.
    return _Itself(record), ()


for _cls in _CLASSES.values():
    _copyreg.pickle(_cls, _reduce_member if _cls in _MEMBER_NAMES else _reduce_record)
del _cls


def __getattr__(name):
    # Read on first use: importing importlib.metadata takes longer than importing tavik.
    if name == "__version__":
        from importlib.metadata import version

        globals()[name] = version("tavik")
        return globals()[name]
    raise AttributeError(f"module 'tavik' has no attribute {name!r}")
