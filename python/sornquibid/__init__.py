"""Time-ordered 64-bit and 128-bit identifiers for relational databases.

The classes and the SQL Server support come from the extension module
`_sornquibid` (these are the same objects). Importing this package also makes
all four classes picklable.

The integrations with SQLAlchemy, Django and pydantic are the submodules
`sornquibid.sqlalchemy`, `sornquibid.django` and `sornquibid.pydantic`; only
importing one of them imports its framework.
"""

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

from . import _pickle

__all__ = ["SornId", "QuibId", "SornIdDesc", "QuibIdDesc", "mssql_schema"]

# JSON and running the SQL Server scripts.
from ._json import json_default
from ._scripts import execute_sql, sql_batches

__all__ += ["json_default", "sql_batches", "execute_sql"]

_pickle.register()
