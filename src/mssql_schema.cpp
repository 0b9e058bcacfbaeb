#include "mssql_schema.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "panic.hpp"
#include "text_escape.hpp"

namespace sornquibid {
namespace {

std::string trigger_name(std::string_view table) {
    std::string name = "zzz_";
    name += table;
    name += "_autofill_desc";
    return name;
}

// Names that SQL Server's default (case-insensitive) collation takes for one
// column. Both are validated identifiers, so plain ASCII.
bool same_column(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

// Per pair: fill the destination from the source for the rows whose source
// value was written, then clear the destination of rows whose source is NULL
// (matched on the destination values of the written rows), so that setting
// a source to NULL does not leave a stale descending value behind. The
// clearing UPDATE can only change rows when a written row has a NULL source
// and a destination value, so it runs only then: an UPDATE that changes
// nothing still fires the table's other UPDATE triggers and may scan it.
void append_pair_statements(std::string& out, const ColumnPair& pair, std::string_view table,
                            std::string_view flip) {
    const std::string_view src = pair.src_col;
    const std::string_view dst = pair.dst_col;
    out += "    UPDATE t\n    SET t.";
    out += dst;
    out += " = CASE WHEN t.";
    out += src;
    out += " IS NULL THEN NULL ELSE dbo.";
    out += flip;
    out += "(t.";
    out += src;
    out += ") END\n    FROM ";
    out += table;
    out += " AS t\n    WHERE t.";
    out += src;
    out += " IN (SELECT ";
    out += src;
    out += " FROM inserted WHERE ";
    out += src;
    out += " IS NOT NULL);\n";

    out += "    IF EXISTS (SELECT 1 FROM inserted WHERE ";
    out += src;
    out += " IS NULL AND ";
    out += dst;
    out += " IS NOT NULL)\n";
    out += "    UPDATE t\n    SET t.";
    out += dst;
    out += " = NULL\n    FROM ";
    out += table;
    out += " AS t\n    WHERE t.";
    out += src;
    out += " IS NULL AND t.";
    out += dst;
    out += " IN (SELECT ";
    out += dst;
    out += " FROM inserted WHERE ";
    out += src;
    out += " IS NULL);\n";
}

void append_settriggerorder(std::string& out, std::string_view trigger, std::string_view stmt) {
    out += "EXEC sp_settriggerorder @triggername = N'";
    out += trigger;
    out += "', @order = 'Last', @stmttype = '";
    out += stmt;
    out += "';\nGO\n";
}

// The script texts. Lines end with a line feed only; the one non-ASCII
// character is U+2014 EM DASH (UTF-8 E2 80 94) in the header comments.
constexpr char kDescFlip[] = R"sql(-- sornquibid v0.3.1 — MSSQL descending-sort flip primitives.
--
-- Pure T-SQL, no CLR dependency. Mirrors the Postgres v0.3.0 flip
-- functions in sornquibid/sql/functions/desc_flip.sql.
--
-- SornId (bigint): XOR against 0x7FFFFFFFFFC01FFF preserves the node_id
-- and (inverted) timestamp bits so that DESC ordering of the asc form
-- equals ASC ordering of the desc form.
--
-- QuibId (BINARY(16)): same principle, 128-bit mask 0xFFFFFFFFFFFF0FFF
-- 0FFFFFFF8000FFFF preserves UUIDv8 version/variant nibbles and the
-- node_id field. T-SQL has no native `^` on varbinary, so we XOR byte
-- by byte via SUBSTRING + CAST AS tinyint + STUFF.
--
-- Note on WITH SCHEMABINDING: intentionally omitted. SCHEMABINDING
-- enables scalar-UDF inlining on SQL Server 2019+ (a perf win) but
-- also creates a strict dependency graph that blocks `CREATE OR ALTER`
-- on a function referenced by another schema-bound function. That
-- would wedge test harnesses and deploy pipelines that re-install the
-- flip surface. Correctness is unaffected.

CREATE OR ALTER FUNCTION dbo.sornid_flip_mask()
RETURNS bigint
AS
BEGIN
    RETURN CAST(0x7FFFFFFFFFC01FFF AS bigint);
END;
GO

CREATE OR ALTER FUNCTION dbo.sornid_to_desc(@bits bigint)
RETURNS bigint
AS
BEGIN
    RETURN @bits ^ CAST(0x7FFFFFFFFFC01FFF AS bigint);
END;
GO

CREATE OR ALTER FUNCTION dbo.sornid_to_asc(@bits bigint)
RETURNS bigint
AS
BEGIN
    -- XOR is its own inverse.
    RETURN @bits ^ CAST(0x7FFFFFFFFFC01FFF AS bigint);
END;
GO

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

CREATE OR ALTER FUNCTION dbo.quibid_to_asc(@id BINARY(16))
RETURNS BINARY(16)
AS
BEGIN
    -- XOR is its own inverse; delegate to quibid_to_desc.
    RETURN dbo.quibid_to_desc(@id);
END;
GO
)sql";

constexpr char kDescGenerators[] = R"sql(-- sornquibid v0.3.1 — MSSQL desc generators.
--
-- Thin wrappers around the existing v0.2.x generate_id /
-- generate_quibid procs. Those return a single-row result set rather
-- than expose an OUTPUT parameter, so we capture via
-- `INSERT ... EXEC` into a table variable and then flip with the
-- appropriate desc function.
--
-- Returning a single-row result set matches the calling convention of
-- generate_id / generate_quibid, so the Django binding can dispatch on
-- connection.vendor and use `cursor.execute("EXEC sornid_next_desc
-- @in_node_id=%s"); row = cursor.fetchone()`.

CREATE OR ALTER PROCEDURE dbo.sornid_next_desc
    @in_node_id int = NULL
AS
BEGIN
    SET NOCOUNT ON;

    DECLARE @asc TABLE (id bigint);
    INSERT INTO @asc (id)
    EXEC dbo.generate_id @in_node_id = @in_node_id;

    SELECT dbo.sornid_to_desc(id) AS id FROM @asc;
END;
GO

CREATE OR ALTER PROCEDURE dbo.quibid_next_desc
    @in_node_id int = NULL
AS
BEGIN
    SET NOCOUNT ON;

    DECLARE @asc TABLE (id BINARY(16));
    INSERT INTO @asc (id)
    EXEC dbo.generate_quibid @in_node_id = @in_node_id;

    SELECT dbo.quibid_to_desc(id) AS id FROM @asc;
END;
GO
)sql";

constexpr char kBulkBackfill[] = R"sql(-- sornquibid v0.3.1 — MSSQL bulk backfill procedure.
--
-- Mirrors the Postgres v0.3.0 sornquibid_bulk_backfill procedure. Two
-- loops: a fast path with UPDLOCK + READPAST (MSSQL's equivalent of
-- FOR UPDATE SKIP LOCKED) followed by a cleanup pass that uses plain
-- UPDLOCK to catch rows the fast path skipped.
--
-- Transaction model note: T-SQL has no PL/pgSQL-style COMMIT inside a
-- loop, so each batch opens its own BEGIN TRAN / COMMIT TRAN. SET
-- LOCK_TIMEOUT is session-scoped (inverts Postgres's SET LOCAL which
-- is per-transaction), so we set it once at proc entry.
--
-- @@TRANCOUNT pre-flight check: the proc must run at the top level —
-- committing inside a user-open transaction is illegal in MSSQL.

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
)sql";


// The three scripts joined by one line feed each, built at compile time.
template <std::size_t A, std::size_t B, std::size_t C>
constexpr std::array<char, A + B + C> join_scripts(const char (&a)[A], const char (&b)[B],
                                                       const char (&c)[C]) {
    // Each input holds its text and a NUL; the output holds the three texts,
    // two line feeds and a NUL.
    std::array<char, A + B + C> out{};
    std::size_t n = 0;
    for (std::size_t i = 0; i + 1 < A; ++i) out[n++] = a[i];
    out[n++] = '\n';
    for (std::size_t i = 0; i + 1 < B; ++i) out[n++] = b[i];
    out[n++] = '\n';
    for (std::size_t i = 0; i + 1 < C; ++i) out[n++] = c[i];
    out[n] = '\0';
    return out;
}

constexpr auto kInstallAllDesc =
    join_scripts(kDescFlip, kDescGenerators, kBulkBackfill);

constexpr std::string_view without_nul(const char* text, std::size_t size) {
    return std::string_view(text, size - 1);
}

}  // namespace

const std::string_view DESC_FLIP_TSQL = without_nul(kDescFlip, sizeof kDescFlip);
const std::string_view DESC_GENERATORS_TSQL =
    without_nul(kDescGenerators, sizeof kDescGenerators);
const std::string_view BULK_BACKFILL_TSQL =
    without_nul(kBulkBackfill, sizeof kBulkBackfill);
const std::string_view INSTALL_ALL_DESC_TSQL =
    without_nul(kInstallAllDesc.data(), kInstallAllDesc.size());

std::string_view flip_function_name(IdKind kind) noexcept {
    return kind == IdKind::Quib ? "quibid_to_desc" : "sornid_to_desc";
}

std::string display(const SameColumnPairError& error) {
    return "source and destination are the same column: " + debug_quoted(error.src_col) + ", " +
           debug_quoted(error.dst_col);
}

std::string display(const TriggerScriptError& error) {
    return std::visit([](const auto& e) { return display(e); }, error);
}

expected<std::string, TriggerScriptError> install_autofill_trigger_for_table_mssql(
    std::string_view table, std::span<const ColumnPair> pairs, IdKind kind) {
    if (pairs.empty()) panic("at least one ColumnPair required");
    if (auto ok = validate_ident(table); !ok) return unexpected(std::move(ok.error()));
    for (const ColumnPair& pair : pairs) {
        if (auto ok = validate_ident(pair.src_col); !ok) {
            return unexpected(std::move(ok.error()));
        }
        if (auto ok = validate_ident(pair.dst_col); !ok) {
            return unexpected(std::move(ok.error()));
        }
        if (same_column(pair.src_col, pair.dst_col)) {
            // Filled member by member: GCC 11 does not destroy the first
            // string of a braced initialiser when copying the second throws.
            SameColumnPairError error;
            error.src_col = pair.src_col;
            error.dst_col = pair.dst_col;
            return unexpected(std::move(error));
        }
    }

    const std::string_view flip = flip_function_name(kind);
    const std::string trigger = trigger_name(table);
    std::string out;
    // A hint: the fixed text and one pair of statements with the longest names
    // come to well under these sizes.
    out.reserve(768 + pairs.size() * 1536);
    out += "CREATE OR ALTER TRIGGER ";
    out += trigger;
    out += "\nON ";
    out += table;
    out += "\nAFTER INSERT, UPDATE\nAS\nBEGIN\n    SET NOCOUNT ON;\n";
    for (const ColumnPair& pair : pairs) append_pair_statements(out, pair, table, flip);
    out += "END;\nGO\n";
    append_settriggerorder(out, trigger, "INSERT");
    append_settriggerorder(out, trigger, "UPDATE");
    return out;
}

expected<std::string, SharedSchemaError> drop_autofill_trigger_for_table_mssql(
    std::string_view table) {
    if (auto ok = validate_ident(table); !ok) return unexpected(std::move(ok.error()));
    const std::string trigger = trigger_name(table);
    std::string out = "IF OBJECT_ID(N'";
    out += trigger;
    out += "', N'TR') IS NOT NULL DROP TRIGGER ";
    out += trigger;
    out += ";\nGO\n";
    return out;
}

}  // namespace sornquibid
