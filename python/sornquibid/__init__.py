"""Time-ordered 64-bit and 128-bit identifiers for relational databases.

The classes and the SQL Server support come from the extension module
`_sornquibid` (these are the same objects). Importing this package also makes
all four classes picklable.

`PanicException` is the class of the extension's reports of a broken internal
precondition. It derives from BaseException, so `except Exception` does not
catch it; catch it by this name.
"""

from typing import TYPE_CHECKING

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

from . import _pickle

__all__ = ["SornId", "QuibId", "SornIdDesc", "QuibIdDesc", "mssql_schema", "PanicException"]

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
