"""Time-ordered 64-bit and 128-bit identifiers for relational databases.

The classes and the SQL Server support come from the extension module
`_sornquibid` (these are the same objects). Importing this package also makes
all four classes picklable. The package adds `to_desc` and `to_asc`, between
the ascending and the descending form of an identifier, and
`sornid_conflicts`, the conversion conflicts as records.

The integrations with SQLAlchemy, Django and pydantic are the submodules
`sornquibid.sqlalchemy`, `sornquibid.django` and `sornquibid.pydantic`; only
importing one of them imports its framework.
"""

from importlib import metadata as _metadata

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

from . import _pickle
from ._conflicts import ConflictKind, ConversionConflict, sornid_conflicts
from ._forms import to_asc, to_desc

__all__ = ["SornId", "QuibId", "SornIdDesc", "QuibIdDesc", "mssql_schema"]
__all__ += ["to_desc", "to_asc", "sornid_conflicts", "ConversionConflict", "ConflictKind"]

# JSON and running the SQL Server scripts.
from ._json import json_default
from ._scripts import execute_sql, sql_batches

__all__ += ["json_default", "sql_batches", "execute_sql"]

try:
    __version__ = _metadata.version("sornquibid")
except _metadata.PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

_pickle.register()
