"""Time-ordered 64-bit and 128-bit identifiers for relational databases.

The classes and the SQL Server support come from the extension module
`_sornquibid` (these are the same objects). Importing this package also makes
all four classes picklable.
"""

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

from . import _pickle

__all__ = ["SornId", "QuibId", "SornIdDesc", "QuibIdDesc", "mssql_schema"]

_pickle.register()
