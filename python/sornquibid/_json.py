"""JSON encoding of the identifiers."""

from __future__ import annotations

from ._codec import CODECS


def json_default(obj: object) -> str:
    """The text form of an identifier, for `json.dumps(..., default=json_default)`.

    The 64-bit identifiers become decimal strings rather than numbers, so that
    readers whose numbers are doubles (JavaScript) get every digit.
    """
    if type(obj) in CODECS:
        return str(obj)
    raise TypeError(f"Object of type {type(obj).__name__} is not JSON serializable")
