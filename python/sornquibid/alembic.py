"""Alembic autogenerate support for the column types of sornquibid.sqlalchemy.

Alembic writes a column of one of these types into a migration as
`sornquibid.sqlalchemy.QuibIdType()`, but imports only SQLAlchemy and its
own modules there, so the migration would fail with a NameError. Hand
`render_item` to the migration context in the project's env.py, and every
migration that names one of the types imports its module:

    from sornquibid.alembic import render_item

    context.configure(connection=connection, target_metadata=target_metadata,
                      render_item=render_item)

A project with a render_item of its own calls this one from it first and
keeps its own result where that is not False.
"""

from __future__ import annotations

from typing import Any

__all__ = ["render_item"]


def render_item(type_: str, obj: Any, autogen_context: Any) -> Any:
    """Adds the import of a sornquibid column type to the migration and
    leaves the rendering to Alembic (returns False)."""
    if type_ == "type":
        from .sqlalchemy import _IdType

        if isinstance(obj, _IdType):
            autogen_context.imports.add(f"import {type(obj).__module__}")
    return False
