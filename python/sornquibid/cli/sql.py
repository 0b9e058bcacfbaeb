"""`sornquibid sql`: print the SQL scripts that install the database side.

Every script is one entry of SCRIPTS: its subcommand name, its help, the
arguments it takes, and the function that makes its text from them.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from dataclasses import dataclass
from typing import cast

from _sornquibid import mssql_schema

from .._mssql_generators import mssql_generators_tsql
from .._postgresql import postgresql_script
from .errors import EXIT_USAGE, CliError
from .output import Output, output_options


@dataclass(frozen=True)
class Script:
    """One `sql` subcommand."""

    help: str
    # The script's text, from the parsed command line.
    text: Callable[[argparse.Namespace], str]
    # The description of --help, when it says more than `help`.
    description: str | None = None
    # Adds the script's own arguments to its subcommand's parser.
    arguments: Callable[[argparse.ArgumentParser], None] | None = None


def _constant(name: str) -> Callable[[argparse.Namespace], str]:
    """The text of the constant of mssql_schema named `name`."""
    return lambda args: cast(str, getattr(mssql_schema, name))


def _column_pair(text: str) -> tuple[str, str]:
    src, sep, dst = text.partition(":")
    if not sep or ":" in dst:
        raise CliError(f"column pair must be SRC:DST, got {text!r}", status=EXIT_USAGE)
    return src, dst


def _table_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("table", metavar="TABLE", help="the table name, without schema")


def _trigger_arguments(parser: argparse.ArgumentParser) -> None:
    _table_argument(parser)
    parser.add_argument(
        "pairs", nargs="+", metavar="SRC:DST", help="an identifier column and its descending column"
    )
    parser.add_argument(
        "--kind",
        required=True,
        choices=("sorn", "quib"),
        help="sorn for bigint SornId columns, quib for BINARY(16) QuibId columns",
    )


def _trigger(args: argparse.Namespace) -> str:
    pairs = [_column_pair(p) for p in args.pairs]
    return mssql_schema.mssql_install_autofill_trigger_for_table(args.table, pairs, args.kind)


def _drop(args: argparse.Namespace) -> str:
    return mssql_schema.mssql_drop_autofill_trigger_for_table(args.table)


def _epoch_and_precision(parser: argparse.ArgumentParser, default: bool = True) -> None:
    """--epoch-ms and --precision; without `default` they are None when not
    given, so that a script that has no use for them can refuse them."""
    parser.add_argument(
        "--epoch-ms",
        type=int,
        default=0 if default else None,
        metavar="N",
        help="the Unix time in milliseconds at which timestamp 0 lies (default: 0, the Unix epoch)",
    )
    parser.add_argument(
        "--precision",
        default="ns" if default else None,
        choices=("us", "ns", "ps", "fs"),
        help="the unit of the QuibId timestamps the generators make (default: ns)",
    )


def _generators_base(args: argparse.Namespace) -> str:
    return mssql_generators_tsql(epoch_ms=args.epoch_ms, precision=args.precision)


def _install(args: argparse.Namespace) -> str:
    if args.dialect == "postgresql":
        return postgresql_script(
            epoch_ms=0 if args.epoch_ms is None else args.epoch_ms,
            precision=args.precision or "ns",
        )
    if args.epoch_ms is not None or args.precision is not None:
        raise CliError(
            "--epoch-ms and --precision belong to 'sql --dialect postgresql install' and "
            "'sql generators-base'; the SQL Server install script has no epoch",
            EXIT_USAGE,
        )
    return mssql_schema.INSTALL_ALL_DESC_TSQL


# The subcommands of `sql`, in the order of its help.
SCRIPTS = {
    "install": Script(
        "everything below, in order: flip functions, generators, backfill "
        "(with --dialect postgresql: the PostgreSQL flip functions and generators)",
        _install,
        arguments=lambda parser: _epoch_and_precision(parser, default=False),
    ),
    "flip": Script(
        "the flip functions dbo.sornid_to_desc, dbo.quibid_to_desc, ...",
        _constant("DESC_FLIP_TSQL"),
    ),
    "generators": Script(
        "the procedures dbo.sornid_next_desc and dbo.quibid_next_desc",
        _constant("DESC_GENERATORS_TSQL"),
    ),
    "backfill": Script(
        "the procedure dbo.sornquibid_bulk_backfill", _constant("BULK_BACKFILL_TSQL")
    ),
    "generators-base": Script(
        "the state table and the procedures dbo.generate_id and dbo.generate_quibid",
        _generators_base,
        description="Print the script that creates, if missing, the table "
        "dbo.sornquibid_generator_state and the procedures dbo.generate_id and "
        "dbo.generate_quibid, which the descending generators call. Run it before "
        "the install script on a new database.",
        arguments=_epoch_and_precision,
    ),
    "trigger": Script(
        "the trigger that fills descending columns of TABLE",
        _trigger,
        description="Print the script that installs the trigger keeping each DST "
        "column equal to the descending form of its SRC column.",
        arguments=_trigger_arguments,
    ),
    "drop": Script(
        "the script that drops the trigger of TABLE",
        _drop,
        description="Print the script that drops the autofill trigger of TABLE, if it exists.",
        arguments=_table_argument,
    ),
}


def run_sql(args: argparse.Namespace, out: Output) -> None:
    if args.dialect == "postgresql" and args.script != "install":
        raise CliError(
            f"--dialect postgresql has one script, install, not {args.script}", EXIT_USAGE
        )
    out.write(SCRIPTS[args.script].text(args))


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    sql = commands.add_parser(
        "sql",
        help="print SQL Server (or PostgreSQL) scripts",
        description="Print the T-SQL scripts that install the database side, or with "
        "--dialect postgresql the PostgreSQL one.",
    )
    sql.add_argument(
        "--dialect",
        choices=("mssql", "postgresql"),
        default="mssql",
        help="the database the scripts are for (default: mssql, SQL Server)",
    )
    scripts = sql.add_subparsers(dest="script", required=True, metavar="SCRIPT")
    output = output_options()
    for name, script in SCRIPTS.items():
        parser = scripts.add_parser(
            name,
            help=script.help,
            description=script.description or script.help,
            parents=[output],
        )
        if script.arguments is not None:
            script.arguments(parser)
        parser.set_defaults(run=run_sql)
