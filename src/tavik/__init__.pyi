from tavik.tavik import *
from tavik.tavik import __all__ as __all__

__version__: str
