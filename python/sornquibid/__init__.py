"""Time-ordered 64-bit and 128-bit identifiers for relational databases.

The classes and the SQL Server support come from the extension module
`_sornquibid` (these are the same objects). Importing this package also makes
all four classes picklable. The package adds `to_desc` and `to_asc`, between
the ascending and the descending form of an identifier, and
`sornid_conflicts`, the conversion conflicts as records.

The integrations with SQLAlchemy, Django and pydantic are the submodules
`sornquibid.sqlalchemy`, `sornquibid.django` and `sornquibid.pydantic`; only
importing one of them imports its framework.

`PanicException` is the class of the extension's reports of a broken internal
precondition. It derives from BaseException, so `except Exception` does not
catch it; catch it by this name.
"""

from importlib import metadata as _metadata
from typing import TYPE_CHECKING

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

from . import _pickle
from ._conflicts import ConflictKind, ConversionConflict, sornid_conflicts
from ._forms import to_asc, to_desc

__all__ = ["SornId", "QuibId", "SornIdDesc", "QuibIdDesc", "mssql_schema"]
__all__ += ["to_desc", "to_asc", "sornid_conflicts", "ConversionConflict", "ConflictKind"]
__all__ += ["PanicException"]

# JSON and running the SQL Server scripts.
from ._json import json_default
from ._scripts import execute_sql, sql_batches

__all__ += ["json_default", "sql_batches", "execute_sql"]

# Making identifiers, and time in and out.
from ._mssql_generators import mssql_generators_tsql
from ._native import QuibIdGenerator, SornIdGenerator
from ._time import first_id_at, id_time, last_id_at

__all__ += ["SornIdGenerator", "QuibIdGenerator", "id_time", "first_id_at", "last_id_at"]
__all__ += ["mssql_generators_tsql"]

# PostgreSQL: the flip functions and the generators.
from ._postgresql import postgresql_script

__all__ += ["postgresql_script"]

try:
    __version__ = _metadata.version("sornquibid")
except _metadata.PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

_pickle.register()


def _panic_exception() -> type[BaseException]:
    # The extension makes the class on first use and does not export it. A
    # trigger for no column pairs is a broken precondition, refused before
    # anything else is looked at, so this call raises exactly that class.
    try:
        mssql_schema.mssql_install_autofill_trigger_for_table("t", [], "sorn")
    except BaseException as e:  # noqa: BLE001 - the class is what is sought
        if type(e).__name__ == "PanicException":
            return type(e)
        raise
    raise ImportError("_sornquibid raised no PanicException for an empty pair list")


if TYPE_CHECKING:

    class PanicException(BaseException):
        """A broken internal precondition reported by the extension."""

else:
    PanicException = _panic_exception()
