# The SQL Server support of _sornquibid. At run time this is an attribute of
# the extension module, not an importable submodule: use
# `from _sornquibid import mssql_schema`, not `import _sornquibid.mssql_schema`.
from collections.abc import Sequence
from typing import Final, Literal

__all__ = [
    "DESC_FLIP_TSQL",
    "DESC_GENERATORS_TSQL",
    "BULK_BACKFILL_TSQL",
    "INSTALL_ALL_DESC_TSQL",
    "mssql_install_autofill_trigger_for_table",
    "mssql_drop_autofill_trigger_for_table",
]

DESC_FLIP_TSQL: Final[str]
DESC_GENERATORS_TSQL: Final[str]
BULK_BACKFILL_TSQL: Final[str]
INSTALL_ALL_DESC_TSQL: Final[str]

def mssql_install_autofill_trigger_for_table(
    table: str, pairs: Sequence[tuple[str, str]], kind: Literal["sorn", "quib"]
) -> str: ...
def mssql_drop_autofill_trigger_for_table(table: str) -> str: ...
