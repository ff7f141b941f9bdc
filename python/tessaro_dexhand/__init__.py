"""Client for dexterous robot hands on the 192.168.137.0/24 subnet.

The classes and functions live in the extension module _tessaro_dexhand;
this package gives them their public home (and their stubs, __init__.pyi).
"""
from . import _tessaro_dexhand
from ._tessaro_dexhand import *  # noqa: F401,F403

__doc__ = _tessaro_dexhand.__doc__
__all__ = [name for name in dir(_tessaro_dexhand) if not name.startswith("_")]

# Classes report the package as their home, as the documentation names them.
for _name in __all__:
    _value = getattr(_tessaro_dexhand, _name)
    if isinstance(_value, type) and _value.__module__ == _tessaro_dexhand.__name__:
        _value.__module__ = __name__
del _name, _value
