"""Time-ordered 64-bit and 128-bit identifiers for relational databases.

The classes and the SQL Server support come from the extension module
`_sornquibid` (these are the same objects). Importing this package also makes
all four classes picklable. The package adds `to_desc` and `to_asc`, between
the ascending and the descending form of an identifier, and
`sornid_conflicts`, the conversion conflicts as records.

`PanicException` is the class of the extension's reports of a broken internal
precondition. It derives from BaseException, so `except Exception` does not
catch it; catch it by this name.
"""

from typing import TYPE_CHECKING

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

from . import _pickle
from ._conflicts import ConflictKind, ConversionConflict, sornid_conflicts
from ._forms import to_asc, to_desc

__all__ = ["SornId", "QuibId", "SornIdDesc", "QuibIdDesc", "mssql_schema"]
__all__ += ["to_desc", "to_asc", "sornid_conflicts", "ConversionConflict", "ConflictKind"]
__all__ += ["PanicException"]

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
