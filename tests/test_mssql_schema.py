"""The mssql_schema submodule: identifier gate, autofill trigger scripts and
the descending-order T-SQL constants. No SQL Server runs here, so scripts are
checked as text and parsed with sqlfluff's T-SQL dialect."""
import collections
import collections.abc
import hashlib
import inspect
import re
import sys

import pytest

import sqlfluff
from sqlfluff.core import dialect_selector
from hypothesis import given, settings
from hypothesis import strategies as st

from _sornquibid import mssql_schema

install = mssql_schema.mssql_install_autofill_trigger_for_table
drop = mssql_schema.mssql_drop_autofill_trigger_for_table


def invalid(ident):
    """The message of a refused identifier (plain ASCII input only)."""
    return 'invalid SQL identifier: "' + ident.replace("\\", "\\\\").replace('"', '\\"') + '"'


def same_column(src, dst):
    """The message of a pair naming one column (valid names only)."""
    return f'source and destination are the same column: "{src}", "{dst}"'


def parse_counts(script):
    """Counts of the node kinds in sqlfluff's T-SQL parse of `script`; raises
    sqlfluff's APIParsingError on anything it cannot parse."""
    counts = collections.Counter()

    def walk(node):
        if isinstance(node, dict):
            for key, value in node.items():
                counts[key] += 1
                walk(value)
        elif isinstance(node, list):
            for value in node:
                walk(value)

    walk(sqlfluff.parse(script, dialect="tsql"))
    return counts


def assert_script_layout(script):
    assert "\r" not in script
    assert script.endswith("GO\n") and not script.endswith("\n\n")
    assert all(line == line.rstrip() for line in script.split("\n"))


# ---------------------------------------------------------------------------
# The submodule surface


def test_members_and_order():
    names = [
        "DESC_FLIP_TSQL",
        "DESC_GENERATORS_TSQL",
        "BULK_BACKFILL_TSQL",
        "INSTALL_ALL_DESC_TSQL",
        "mssql_install_autofill_trigger_for_table",
        "mssql_drop_autofill_trigger_for_table",
    ]
    assert mssql_schema.__all__ == names
    assert [n for n in vars(mssql_schema) if n in names] == names


@pytest.mark.parametrize(
    "func, params",
    [(install, ["table", "pairs", "kind"]), (drop, ["table"])],
)
def test_functions_are_bound_builtins(func, params):
    assert type(func).__name__ == "builtin_function_or_method"
    assert func.__self__ is mssql_schema
    assert func.__module__ == "mssql_schema"
    assert func.__text_signature__ == "(" + ", ".join(params) + ")"
    sig = inspect.signature(func)
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert all(p.default is p.empty for p in sig.parameters.values())


def test_keyword_arguments_and_arity():
    assert install(kind="quib", pairs=[("a", "b")], table="t") == install("t", [("a", "b")], "quib")
    assert drop(table="t") == drop("t")
    for call in (lambda: drop(), lambda: drop("t", "u"), lambda: drop(name="t"),
                 lambda: install("t", [("a", "b")]), lambda: install("t", [], "sorn", table="t")):
        with pytest.raises(TypeError):
            call()


# ---------------------------------------------------------------------------
# The identifier gate

ACCEPTED = ["_", "_1", "a", "Order_Items2", "x" * 63, "Z" * 63, "select", "order", "__", "a_9"]
REFUSED = [
    "", "1abc", "9", "x" * 64, "order items", "dbo.orders", "[orders]", "a-b", "@x", "#t",
    "$x", "x$", "a;DROP TABLE t", "t--", "'t'", "x\"y", "x\\y", " t", "t ", "a.b.c",
]


@pytest.mark.parametrize("ident", ACCEPTED)
def test_accepted_identifiers_are_used_as_given(ident):
    assert drop(ident) == (
        f"IF OBJECT_ID(N'zzz_{ident}_autofill_desc', N'TR') IS NOT NULL "
        f"DROP TRIGGER zzz_{ident}_autofill_desc;\nGO\n"
    )
    script = install("t", [("src", ident)], "sorn")
    assert f"SET t.{ident} = " in script


@pytest.mark.parametrize("ident", REFUSED)
def test_refused_identifiers(ident):
    for call in (lambda: drop(ident), lambda: install(ident, [("a", "b")], "sorn"),
                 lambda: install("t", [(ident, "b")], "quib"),
                 lambda: install("t", [("a", ident)], "quib")):
        with pytest.raises(ValueError) as info:
            call()
        assert type(info.value) is ValueError
        assert info.value.args == (invalid(ident),)


@pytest.mark.parametrize(
    "ident, message",
    [
        ("", 'invalid SQL identifier: ""'),
        ('x"y', 'invalid SQL identifier: "x\\"y"'),
        ("tab\t", 'invalid SQL identifier: "tab\\t"'),
        ("x\u0301", 'invalid SQL identifier: "x\\u{301}"'),
        ("a\u00a0b", 'invalid SQL identifier: "a\\u{a0}b"'),
        ("bell\x07", 'invalid SQL identifier: "bell\\u{7}"'),
        ("nul\0", 'invalid SQL identifier: "nul\\0"'),
        ("naïve", 'invalid SQL identifier: "naïve"'),
        ("Ä", 'invalid SQL identifier: "Ä"'),
        ("x" * 64, 'invalid SQL identifier: "' + "x" * 64 + '"'),
    ],
)
def test_refusal_messages(ident, message):
    with pytest.raises(ValueError) as info:
        drop(ident)
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_long_identifier_is_copied_whole():
    ident = "é" * 100_000
    with pytest.raises(ValueError) as info:
        drop(ident)
    assert str(info.value) == f'invalid SQL identifier: "{ident}"'


def test_unencodable_text_is_a_conversion_error():
    with pytest.raises(UnicodeEncodeError):
        drop("t\ud800")
    with pytest.raises(UnicodeEncodeError):
        install("t", [("a", "\udfff")], "sorn")


IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]{0,62}")


@settings(max_examples=300)
@given(st.text(alphabet=st.sampled_from("aZ_09 .-é\u0301\t\"'[]@#$\0"), max_size=70)
       | st.from_regex(IDENT, fullmatch=True))
def test_gate_matches_the_identifier_pattern(ident):
    ok = IDENT.fullmatch(ident) is not None
    try:
        drop(ident)
    except ValueError as exc:
        assert not ok
        assert str(exc).startswith('invalid SQL identifier: "')
    else:
        assert ok


# ---------------------------------------------------------------------------
# Install script: kinds, checks and their order

KIND_MESSAGE = "unknown kind: {}; expected 'sorn' or 'quib'"


@pytest.mark.parametrize("kind", ["Sorn", "", "sorn ", " quib", "QUIB", "sornid", "quib\0", "sörn"])
def test_unknown_kind(kind):
    with pytest.raises(ValueError) as info:
        install("t", [("a", "b")], kind)
    assert info.value.args == (KIND_MESSAGE.format(kind),)


@pytest.mark.parametrize(
    "table, pairs, kind, expected",
    [
        # The kind comes before the pairs and every name.
        ("1t", [], "x", ValueError(KIND_MESSAGE.format("x"))),
        ("1t", [("1a", "b")], "Sorn", ValueError(KIND_MESSAGE.format("Sorn"))),
        # The empty list comes before every name.
        ("1t", [], "sorn", "panic"),
        # Then the table, then each pair, source before destination.
        ("1t", [("1a", "b")], "sorn", ValueError(invalid("1t"))),
        ("t", [("a", "b"), ("c", "1x")], "sorn", ValueError(invalid("1x"))),
        ("t", [("1s", "1d")], "quib", ValueError(invalid("1s"))),
        ("t", [("a", "1d"), ("1s", "b")], "quib", ValueError(invalid("1d"))),
        # A pair naming one column, letter case ignored, after the pair's
        # names and before the next pair.
        ("1t", [("a", "a")], "sorn", ValueError(invalid("1t"))),
        ("t", [("1s", "1s")], "sorn", ValueError(invalid("1s"))),
        ("t", [("id", "id")], "sorn", ValueError(same_column("id", "id"))),
        ("t", [("a", "b"), ("Order_Id", "oRDER_iD")], "quib",
         ValueError(same_column("Order_Id", "oRDER_iD"))),
        ("t", [("A", "a"), ("1s", "b")], "sorn", ValueError(same_column("A", "a"))),
        ("t", [("a", "b"), ("c", "d"), ("_x", "_X")], "sorn", ValueError(same_column("_x", "_X"))),
    ],
)
def test_order_of_checks(table, pairs, kind, expected):
    with pytest.raises(BaseException) as info:
        install(table, pairs, kind)
    if expected == "panic":
        assert not isinstance(info.value, Exception)
        assert str(info.value) == "at least one ColumnPair required"
    else:
        assert type(info.value) is ValueError
        assert info.value.args == expected.args


@pytest.mark.parametrize(
    "table, pairs, kind, error",
    [
        # Conversion failures come before the kind and the names.
        (5, [("a", "b")], "nope", TypeError),
        (b"t", [("a", "b")], "nope", TypeError),
        ("1t", [("a", "b")], None, TypeError),
        ("1t", [("a", "b")], b"sorn", TypeError),
        ("1t", "ab", "nope", TypeError),
        ("1t", iter([("a", "b")]), "nope", TypeError),
        ("1t", (p for p in [("a", "b")]), "nope", TypeError),
        ("1t", {("a", "b")}, "nope", TypeError),
        ("1t", {"a": "b"}, "nope", TypeError),
        ("1t", None, "nope", TypeError),
        ("1t", [["a", "b"]], "nope", TypeError),
        ("1t", ["ab"], "nope", TypeError),
        ("1t", [("a", 1)], "nope", TypeError),
        ("1t", [(b"a", "b")], "nope", TypeError),
        ("1t", [("a", "b"), None], "nope", TypeError),
        ("1t", range(3), "nope", TypeError),
        ("1t", [("a", "b", "c")], "nope", ValueError),
        ("1t", [("a",)], "nope", ValueError),
        ("1t", [()], "nope", ValueError),
    ],
)
def test_argument_conversion(table, pairs, kind, error):
    with pytest.raises(error) as info:
        install(table, pairs, kind)
    assert type(info.value) is error
    assert "unknown kind" not in str(info.value)
    assert "invalid SQL identifier" not in str(info.value)


class FreshPairs(collections.abc.Sequence):
    """A sequence that builds new tuples (of new str) on every access."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if not 0 <= i < self.n:
            raise IndexError(i)
        return ("".join(["src", str(i)]), "".join(["dst", str(i)]))


def test_any_sequence_of_pairs():
    expected = install("t", [("src0", "dst0"), ("src1", "dst1"), ("src2", "dst2")], "sorn")
    assert install("t", (("src0", "dst0"), ("src1", "dst1"), ("src2", "dst2")), "sorn") == expected
    # The column names of items produced on the fly stay valid until the end.
    assert install("t", FreshPairs(3), "sorn") == expected
    Pair = collections.namedtuple("Pair", "src dst")
    assert install("t", [Pair("src0", "dst0")], "sorn") == install("t", [("src0", "dst0")], "sorn")


class ClaimsLength:
    """A sequence whose __len__ claims far more items than it yields."""

    def __init__(self, claimed):
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        if i != 0:
            raise IndexError(i)
        return ("src0", "dst0")


@pytest.mark.parametrize("claimed", [sys.maxsize, 2**40, 0])
def test_length_is_only_a_hint(claimed):
    assert install("t", ClaimsLength(claimed), "sorn") == install("t", [("src0", "dst0")], "sorn")


def test_panic_is_not_an_exception_and_the_module_keeps_working():
    caught_by_exception = False
    try:
        try:
            install("t", [], "sorn")
        except Exception:
            caught_by_exception = True
    except BaseException as exc:
        panic = exc
    assert not caught_by_exception
    cls = type(panic)
    assert cls.__bases__ == (BaseException,)
    assert panic.args == ("at least one ColumnPair required",)
    with pytest.raises(cls):
        install("1t", (), "quib")
    assert drop("t").startswith("IF OBJECT_ID")
    assert install("t", [("a", "b")], "sorn").startswith("CREATE OR ALTER TRIGGER")


# ---------------------------------------------------------------------------
# Install script: the text

ORDERS = """\
CREATE OR ALTER TRIGGER zzz_orders_autofill_desc
ON orders
AFTER INSERT, UPDATE
AS
BEGIN
    SET NOCOUNT ON;
    UPDATE t
    SET t.id_desc = CASE WHEN t.id IS NULL THEN NULL ELSE dbo.sornid_to_desc(t.id) END
    FROM orders AS t
    WHERE t.id IN (SELECT id FROM inserted WHERE id IS NOT NULL);
    IF EXISTS (SELECT 1 FROM inserted WHERE id IS NULL AND id_desc IS NOT NULL)
    UPDATE t
    SET t.id_desc = NULL
    FROM orders AS t
    WHERE t.id IS NULL AND t.id_desc IN (SELECT id_desc FROM inserted WHERE id IS NULL);
    UPDATE t
    SET t.parent_id_desc = CASE WHEN t.parent_id IS NULL THEN NULL ELSE dbo.sornid_to_desc(t.parent_id) END
    FROM orders AS t
    WHERE t.parent_id IN (SELECT parent_id FROM inserted WHERE parent_id IS NOT NULL);
    IF EXISTS (SELECT 1 FROM inserted WHERE parent_id IS NULL AND parent_id_desc IS NOT NULL)
    UPDATE t
    SET t.parent_id_desc = NULL
    FROM orders AS t
    WHERE t.parent_id IS NULL AND t.parent_id_desc IN (SELECT parent_id_desc FROM inserted WHERE parent_id IS NULL);
END;
GO
EXEC sp_settriggerorder @triggername = N'zzz_orders_autofill_desc', @order = 'Last', @stmttype = 'INSERT';
GO
EXEC sp_settriggerorder @triggername = N'zzz_orders_autofill_desc', @order = 'Last', @stmttype = 'UPDATE';
GO
"""


def test_worked_example():
    script = install("orders", [("id", "id_desc"), ("parent_id", "parent_id_desc")], "sorn")
    assert script.split("\n") == ORDERS.split("\n")
    counts = parse_counts(script)
    assert counts["update_statement"] == 4 and counts["if_then_statement"] == 2


def test_quib_kind_uses_the_128_bit_flip():
    script = install("orders", [("id", "id_desc"), ("parent_id", "parent_id_desc")], "quib")
    assert script == ORDERS.replace("sornid_to_desc", "quibid_to_desc")
    assert script.count("dbo.quibid_to_desc(") == 2 and "sornid" not in script


def test_one_pair_body_is_nine_lines():
    lines = install("t", [("a", "b")], "sorn").split("\n")
    body = lines[lines.index("    SET NOCOUNT ON;") + 1 : lines.index("END;")]
    assert len(body) == 9
    assert all(line.startswith("    ") and not line.startswith("     ") for line in body)


def test_duplicate_pairs_are_kept():
    script = install("t", [("a", "b"), ("a", "b")], "sorn")
    assert script.count("    SET t.b = CASE WHEN t.a IS NULL") == 2
    assert script.count("    SET t.b = NULL\n") == 2


def test_longest_table_name():
    table = "T" * 63
    script = install(table, [("a", "b")], "sorn")
    trigger = script.split("\n")[0].removeprefix("CREATE OR ALTER TRIGGER ")
    assert trigger == f"zzz_{table}_autofill_desc" and len(trigger) == 81
    assert drop(table).count(trigger) == 2


names = st.from_regex(IDENT, fullmatch=True)

# The gate admits reserved words (they are valid names once bracketed), but
# the scripts insert names unbracketed, so a reserved word such as AS makes
# the script unparsable; the parser check draws from the other names.
TSQL_RESERVED = {k.upper() for k in dialect_selector("tsql").sets("reserved_keywords")}
unreserved_names = names.filter(lambda n: n.upper() not in TSQL_RESERVED)
column_pairs = st.tuples(unreserved_names, unreserved_names).filter(
    lambda p: p[0].lower() != p[1].lower())


@settings(max_examples=12, deadline=None)
@given(unreserved_names, st.lists(column_pairs, min_size=1, max_size=3),
       st.sampled_from(["sorn", "quib"]))
def test_install_scripts_parse_as_tsql(table, pairs, kind):
    script = install(table, pairs, kind)
    assert_script_layout(script)
    assert script.split("\n").count("GO") == 3
    counts = parse_counts(script)
    assert counts["batch"] == 3 and counts["go_statement"] == 3
    assert counts["create_trigger"] == 1
    assert counts["update_statement"] == 2 * len(pairs)
    assert counts["if_then_statement"] == len(pairs)
    assert counts["execute_script_statement"] == 2


def test_drop_script():
    script = drop("orders")
    assert script == (
        "IF OBJECT_ID(N'zzz_orders_autofill_desc', N'TR') IS NOT NULL "
        "DROP TRIGGER zzz_orders_autofill_desc;\nGO\n"
    )
    assert_script_layout(script)
    assert parse_counts(script)["go_statement"] == 1


def test_broken_tsql_is_noticed_by_the_parser():
    # Guards the parse-based tests: the parser must refuse a damaged script.
    broken = ORDERS.replace("FROM orders AS t\n", "FROM orders AS\n", 1)
    with pytest.raises(sqlfluff.api.simple.APIParsingError):
        parse_counts(broken)


# ---------------------------------------------------------------------------
# The script constants

SCRIPTS = {
    "DESC_FLIP_TSQL": (
        "35b61fbe41caaa7de99c905392b710145f9ba791129a8798b73fbfbe7f018894",
        20,
        1,
        [("FUNCTION", "dbo.sornid_flip_mask"), ("FUNCTION", "dbo.sornid_to_desc"),
         ("FUNCTION", "dbo.sornid_to_asc"), ("FUNCTION", "dbo.quibid_to_desc"),
         ("FUNCTION", "dbo.quibid_to_asc")],
    ),
    "DESC_GENERATORS_TSQL": (
        "a202d36c338f4ff030eb76c7523c8c7e579538a0549e4d885b3051a60929d9a1",
        12,
        1,
        [("PROCEDURE", "dbo.sornid_next_desc"), ("PROCEDURE", "dbo.quibid_next_desc")],
    ),
    "BULK_BACKFILL_TSQL": (
        "309b3cfe06fea04dc28cdf42e22483fe8f799811e63445dd9ffbd072289e3fe0",
        14,
        2,
        [("PROCEDURE", "dbo.sornquibid_bulk_backfill")],
    ),
}


@pytest.mark.parametrize("name", SCRIPTS)
def test_script_constant(name):
    digest, header_lines, dashes, objects = SCRIPTS[name]
    text = getattr(mssql_schema, name)
    assert type(text) is str
    assert hashlib.sha256(text.encode("utf-8")).hexdigest() == digest
    assert text.startswith("-- ")
    assert_script_layout(text)
    # The em dash is the only non-ASCII character: once in the first line,
    # and once more in the backfill's comment.
    assert {c for c in text if ord(c) > 127} == {"\u2014"}
    assert text.count("\u2014") == dashes and "\u2014" in text.split("\n")[0]
    assert len(text.encode("utf-8")) == len(text) + 2 * dashes

    header, definitions = text.split("\n\n", 1)
    assert len(header.split("\n")) == header_lines
    assert all(line.startswith("--") for line in header.split("\n"))
    # Each definition ends with a GO line; one empty line between them.
    chunks = definitions.split("GO\n")
    assert chunks[-1] == ""
    assert chunks[0].startswith("CREATE OR ALTER ")
    assert all(c.startswith("\nCREATE OR ALTER ") for c in chunks[1:-1])
    found = re.findall(r"^CREATE OR ALTER (FUNCTION|PROCEDURE) (dbo\.\w+)", text, re.M)
    assert found == objects
    # SCHEMABINDING is only ever discussed, never used.
    assert all(line.startswith("--") for line in text.split("\n") if "SCHEMABINDING" in line)

    counts = parse_counts(text)
    assert counts["go_statement"] == len(objects)
    functions = sum(kind == "FUNCTION" for kind, _ in objects)
    assert counts["create_function_statement"] == functions
    assert counts["create_procedure_statement"] == len(objects) - functions


# Two objects in full, for what a few of their lines guard against:
# quibid_to_desc returns NULL for NULL (STUFF with a NULL byte deletes it and
# the cast back pads with zeros); the backfill turns implicit transactions
# off, so each batch commits on its own under manual-commit drivers, and ends
# at the first failing batch, rolled back and rethrown, instead of retrying
# it forever on a stale @@ROWCOUNT.
QUIBID_TO_DESC = """\
CREATE OR ALTER FUNCTION dbo.quibid_to_desc(@id BINARY(16))
RETURNS BINARY(16)
AS
BEGIN
    IF @id IS NULL RETURN NULL;
    DECLARE @mask BINARY(16) = 0xFFFFFFFFFFFF0FFF0FFFFFFF8000FFFF;
    DECLARE @out  BINARY(16) = 0x00000000000000000000000000000000;
    DECLARE @i    int = 1;
    DECLARE @b    tinyint;
    WHILE @i <= 16
    BEGIN
        SET @b =
            CAST(SUBSTRING(@id,   @i, 1) AS tinyint) ^
            CAST(SUBSTRING(@mask, @i, 1) AS tinyint);
        SET @out = CAST(STUFF(@out, @i, 1, CAST(@b AS binary(1))) AS BINARY(16));
        SET @i = @i + 1;
    END
    RETURN @out;
END;
GO
"""

BULK_BACKFILL = """\
CREATE OR ALTER PROCEDURE dbo.sornquibid_bulk_backfill
    @table_name sysname,
    @src_col    sysname,
    @dst_col    sysname,
    @kind       varchar(8),
    @batch_size int = 10000
AS
BEGIN
    SET NOCOUNT ON;
    SET IMPLICIT_TRANSACTIONS OFF;

    IF @@TRANCOUNT > 0
        THROW 50310, 'sornquibid_bulk_backfill must run at the top level (no open tx).', 1;

    DECLARE @flip_fn sysname =
        CASE @kind
            WHEN 'sorn' THEN N'sornid_to_desc'
            WHEN 'quib' THEN N'quibid_to_desc'
            ELSE NULL
        END;
    IF @flip_fn IS NULL
        THROW 50311, 'sornquibid_bulk_backfill: unknown kind; expected sorn or quib', 1;

    -- Session-scoped (inverts v0.3.0 Postgres's per-tx SET LOCAL).
    -- 30 s matches the Postgres playbook's lock_timeout.
    SET LOCK_TIMEOUT 30000;

    DECLARE @rows_done int = 1;
    DECLARE @sql nvarchar(max);

    -- Fast loop: UPDLOCK + READPAST is MSSQL's FOR UPDATE SKIP LOCKED.
    -- Rows locked by concurrent writers are skipped; we will revisit
    -- them in the cleanup loop below.
    WHILE @rows_done > 0
    BEGIN
        BEGIN TRY
        BEGIN TRAN;
        SET @sql = N'
            UPDATE TOP (@bs) t
            SET t.' + QUOTENAME(@dst_col) + N' = dbo.' + QUOTENAME(@flip_fn) + N'(t.' + QUOTENAME(@src_col) + N')
            FROM ' + QUOTENAME(@table_name) + N' AS t WITH (UPDLOCK, READPAST)
            WHERE t.' + QUOTENAME(@dst_col) + N' IS NULL
              AND t.' + QUOTENAME(@src_col) + N' IS NOT NULL;';
        EXEC sp_executesql @sql, N'@bs int', @bs = @batch_size;
        SET @rows_done = @@ROWCOUNT;
        COMMIT TRAN;
        END TRY
        BEGIN CATCH
            IF @@TRANCOUNT > 0 ROLLBACK TRAN;
            THROW;
        END CATCH
    END

    -- Cleanup loop: plain UPDLOCK (no READPAST). Blocks on locked rows
    -- but LOCK_TIMEOUT aborts the statement after 30 s so we don't hang
    -- forever behind a stuck writer. Residue is typically small by the
    -- time we get here.
    SET @rows_done = 1;
    WHILE @rows_done > 0
    BEGIN
        BEGIN TRY
        BEGIN TRAN;
        SET @sql = N'
            UPDATE TOP (@bs) t
            SET t.' + QUOTENAME(@dst_col) + N' = dbo.' + QUOTENAME(@flip_fn) + N'(t.' + QUOTENAME(@src_col) + N')
            FROM ' + QUOTENAME(@table_name) + N' AS t WITH (UPDLOCK)
            WHERE t.' + QUOTENAME(@dst_col) + N' IS NULL
              AND t.' + QUOTENAME(@src_col) + N' IS NOT NULL;';
        EXEC sp_executesql @sql, N'@bs int', @bs = @batch_size;
        SET @rows_done = @@ROWCOUNT;
        COMMIT TRAN;
        END TRY
        BEGIN CATCH
            IF @@TRANCOUNT > 0 ROLLBACK TRAN;
            THROW;
        END CATCH
    END
END;
GO
"""


@pytest.mark.parametrize(
    "name, expected",
    [("DESC_FLIP_TSQL", QUIBID_TO_DESC), ("BULK_BACKFILL_TSQL", BULK_BACKFILL)],
)
def test_objects_in_full(name, expected):
    text = getattr(mssql_schema, name)
    start = text.index(expected.split("\n")[0] + "\n")
    definition = text[start : text.index("\nGO\n", start) + 4]
    assert definition.split("\n") == expected.split("\n")


def test_install_all_is_the_concatenation():
    m = mssql_schema
    assert m.INSTALL_ALL_DESC_TSQL == (
        m.DESC_FLIP_TSQL + "\n" + m.DESC_GENERATORS_TSQL + "\n" + m.BULK_BACKFILL_TSQL
    )
    assert "GO\n\n-- sornquibid v0.3.1 \u2014 MSSQL desc generators." in m.INSTALL_ALL_DESC_TSQL
    assert m.INSTALL_ALL_DESC_TSQL.endswith("END;\nGO\n")


def test_flip_masks_match_the_identifier_classes():
    from _sornquibid import QuibIdDesc, SornIdDesc

    text = mssql_schema.DESC_FLIP_TSQL
    sorn_masks = re.findall(r"CAST\(0x([0-9A-F]{16}) AS bigint\)", text)
    assert len(sorn_masks) == 3 and len(set(sorn_masks)) == 1
    # The descending form of the all-zero SornId is the mask itself.
    assert int(sorn_masks[0], 16) == SornIdDesc.from_parts(0, 0, 0).as_int()
    quib_mask = int(re.search(r"DECLARE @mask BINARY\(16\) = 0x([0-9A-F]{32});", text).group(1), 16)
    # The all-zero QuibId (microseconds) carries only version 8 and variant 10.
    zero_asc = (0x8 << 76) | (0b10 << 62)
    desc = QuibIdDesc.from_parts(0, "us", 0, 0)
    assert zero_asc ^ quib_mask == int(str(desc).replace("-", ""), 16)
