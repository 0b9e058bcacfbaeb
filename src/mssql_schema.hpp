// SQL Server support: the per-table autofill trigger scripts and the T-SQL
// that installs the flip functions, descending generators and the backfill
// procedure. Everything here only builds text; nothing talks to a database.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "schema_shared.hpp"

namespace sornquibid {

// One (source, destination) column pair; the texts are borrowed from the
// caller for the duration of the call.
struct ColumnPair {
    std::string_view src_col;
    std::string_view dst_col;
};

// The identifier family of a trigger, which chooses its flip function.
enum class IdKind : std::uint8_t { Sorn, Quib };

// "sornid_to_desc" or "quibid_to_desc".
std::string_view flip_function_name(IdKind kind) noexcept;

// A pair whose source and destination name one column. SQL Server's default
// collation ignores letter case, so "Id" and "id" are one column too. Its
// trigger would overwrite the column with its own flip on every write.
struct SameColumnPairError {
    std::string src_col;
    std::string dst_col;
};

// "source and destination are the same column: " followed by both names,
// debug-quoted, separated by ", ".
std::string display(const SameColumnPairError& error);

// What the install script refuses: a name, or a pair of one column.
using TriggerScriptError = std::variant<SharedSchemaError, SameColumnPairError>;

std::string display(const TriggerScriptError& error);

// The script that creates (or replaces) the trigger zzz_<table>_autofill_desc
// and makes it fire last for INSERT and UPDATE. `pairs` must not be empty
// (Panic otherwise, before any name is looked at); then the table is
// validated, then each pair in order: its source, its destination, and that
// they name different columns. The first refusal is returned.
std::expected<std::string, TriggerScriptError> install_autofill_trigger_for_table_mssql(
    std::string_view table, std::span<const ColumnPair> pairs, IdKind kind);

// The script that drops the table's autofill trigger if it exists.
std::expected<std::string, SharedSchemaError> drop_autofill_trigger_for_table_mssql(
    std::string_view table);

// The T-SQL scripts, UTF-8, each ending with "GO" and one line feed.
// The flip functions dbo.sornid_flip_mask, sornid_to_desc, sornid_to_asc,
// quibid_to_desc and quibid_to_asc.
extern const std::string_view DESC_FLIP_TSQL;
// The procedures dbo.sornid_next_desc and dbo.quibid_next_desc.
extern const std::string_view DESC_GENERATORS_TSQL;
// The procedure dbo.sornquibid_bulk_backfill.
extern const std::string_view BULK_BACKFILL_TSQL;
// The three above, joined by one line feed each.
extern const std::string_view INSTALL_ALL_DESC_TSQL;

}  // namespace sornquibid
