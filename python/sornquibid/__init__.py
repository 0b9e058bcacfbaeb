"""Time-ordered 64-bit and 128-bit identifiers for relational databases.

The classes and the SQL Server support come from the extension module
`_sornquibid` (these are the same objects). Importing this package also makes
all four classes picklable.
"""

from importlib import metadata as _metadata

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

from . import _pickle

__all__ = ["SornId", "QuibId", "SornIdDesc", "QuibIdDesc", "mssql_schema"]

try:
    __version__ = _metadata.version("sornquibid")
except _metadata.PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

_pickle.register()
