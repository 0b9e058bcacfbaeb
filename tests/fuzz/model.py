"""A small pure-Python model of the library, the oracle of the fuzz harnesses.

Every function returns the value the extension must produce, or raises
`Refused` with the exact message of the ValueError the extension must raise.
Written from the documented behaviour alone, in the plainest Python, so that
it can be trusted where the C++ is fast.
"""
import os
import re
import sys
import unicodedata

import regex

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import convert_model  # noqa: E402
from quib_layout import pack, text as quib_text, unpack  # noqa: E402,F401


class Refused(Exception):
    """The extension must raise ValueError with this message: the exact text,
    or, where the text is not fixed to the byte, any text that the regular
    expression `pattern` matches in full."""

    def __init__(self, message, pattern=None):
        super().__init__(message)
        self.pattern = re.escape(message) if pattern is None else pattern

    def matches(self, text):
        return re.fullmatch(self.pattern, text, re.DOTALL) is not None


# -- 64-bit family -----------------------------------------------------------

SORN_DESC_MASK = 0x7FFFFFFFFFC01FFF
_DECIMAL = re.compile(r"[+-]?[0-9]+", re.ASCII)


def parse_sorn(text):
    if not _DECIMAL.fullmatch(text) or not -(2**63) <= int(text) < 2**63:
        raise Refused("invalid SornId string: " + text)
    if int(text) < 0:
        raise Refused("sornid must be non-negative")
    return int(text)


def sorn_fields(v):
    return v >> 22, (v >> 13) & 0x1FF, v & 0x1FFF


def pack_sorn(ms, node, seq):
    if ms >= 2**41:
        raise Refused(f"timestamp {ms} exceeds 41-bit limit")
    if node >= 512:
        raise Refused(f"node_id {node} exceeds 9-bit limit")
    if seq >= 8192:
        raise Refused(f"sequence {seq} exceeds 13-bit limit")
    return ms << 22 | node << 13 | seq


# -- 128-bit family ----------------------------------------------------------

PRECISIONS = ["us", "ns", "ps", "fs"]
LONG_NAMES = ["microseconds", "nanoseconds", "picoseconds", "femtoseconds"]
QUIB_DESC_MASK = 0xFFFFFFFFFFFF0FFF0FFFFFFF8000FFFF
_HEX = "0123456789abcdefABCDEF"


def _hyphenated(t):
    return (len(t) == 36 and all(t[i] == "-" for i in (8, 13, 18, 23))
            and all(c in _HEX for i, c in enumerate(t) if i not in (8, 13, 18, 23)))


def parse_quib(text):
    n = len(text.encode("utf-8"))
    ok = ((n == 32 and len(text) == 32 and all(c in _HEX for c in text))
          or (n == 36 and _hyphenated(text))
          or (n == 38 and text[:1] == "{" and text[-1:] == "}" and _hyphenated(text[1:-1]))
          or (n == 45 and text.startswith("urn:uuid:") and _hyphenated(text[9:])))
    if not ok:
        raise Refused("invalid QuibId string: " + text)
    v = int(text.replace("urn:uuid:", "").strip("{}").replace("-", ""), 16)
    if (v >> 76) & 0xF != 8:
        raise Refused("uuid version must be 8 (UUIDv8)")
    if (v >> 62) & 3 != 2:
        raise Refused("uuid variant must be RFC 4122")
    return v


def parse_precision(text):
    for short, long in zip(PRECISIONS, LONG_NAMES):
        if text in (short, long):
            return short
    tail = "; expected one of: microseconds/us, nanoseconds/ns, picoseconds/ps, femtoseconds/fs"
    raise Refused("unknown precision",
                  re.escape("unknown precision ") + debug_quoted_pattern(text) + re.escape(tail))


def quib_desc_from_parts(t, precision_text, node, seq):
    """Stored bits of QuibIdDesc.from_parts; the precision is judged first."""
    p = parse_precision(precision_text)
    if t >= 2**89:
        raise Refused(f"timestamp {t} exceeds 89-bit limit")
    if node >= 2**15:
        raise Refused(f"node_id {node} exceeds 15-bit limit")
    return pack(t, p, node, seq) ^ QUIB_DESC_MASK


# -- debug-quoted text -------------------------------------------------------

_UNPRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
_SIMPLE = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
_EXTEND = regex.compile(r"\p{Grapheme_Extend}")
_REGEX_CATEGORY = {c: regex.compile(r"\p{gc=%s}" % c) for c in _UNPRINTABLE}


def debug_quoted_pattern(text):
    """A regular expression for the debug-quoted form of `text`.

    ASCII is fixed. For other characters the Unicode version of the tables is
    the implementation's choice, so where this interpreter's `unicodedata`
    and the `regex` module (two Unicode versions) disagree, or where a
    character is still unassigned, both the escaped and the literal form are
    accepted.
    """
    out = ['"']
    for c in text:
        cp = ord(c)
        if c in _SIMPLE:
            out.append(re.escape(_SIMPLE[c]))
            continue
        esc = re.escape(f"\\u{{{cp:x}}}")
        if cp < 0x80:
            out.append(esc if cp < 0x20 or cp == 0x7F else re.escape(c))
            continue
        cat_a = unicodedata.category(c)
        cat_b = next((k for k, r in _REGEX_CATEGORY.items() if r.match(c)), "print")
        ext = bool(_EXTEND.match(c))
        a = cat_a in _UNPRINTABLE or ext
        b = cat_b in _UNPRINTABLE or ext
        if a != b or cat_a == "Cn" or cat_b == "Cn":
            out.append(f"(?:{esc}|{re.escape(c)})")
        else:
            out.append(esc if a else re.escape(c))
    out.append('"')
    return "".join(out)


# -- SQL Server scripts ------------------------------------------------------

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]{0,62}", re.ASCII)
FLIP = {"sorn": "sornid_to_desc", "quib": "quibid_to_desc"}


def validate_ident(ident):
    if not _IDENT.fullmatch(ident):
        raise Refused("invalid SQL identifier",
                      re.escape("invalid SQL identifier: ") + debug_quoted_pattern(ident))


def install_script(table, pairs, kind):
    """The install script; raises Refused, or EmptyPairs for the panic."""
    if kind not in FLIP:
        raise Refused(f"unknown kind: {kind}; expected 'sorn' or 'quib'")
    if not pairs:
        raise EmptyPairs()
    validate_ident(table)
    for src, dst in pairs:
        validate_ident(src)
        validate_ident(dst)
        if src.lower() == dst.lower():
            raise Refused(f'source and destination are the same column: "{src}", "{dst}"')
    trigger = f"zzz_{table}_autofill_desc"
    body = "".join(
        f"    UPDATE t\n"
        f"    SET t.{dst} = CASE WHEN t.{src} IS NULL THEN NULL ELSE dbo.{FLIP[kind]}(t.{src}) END\n"
        f"    FROM {table} AS t\n"
        f"    WHERE t.{src} IN (SELECT {src} FROM inserted WHERE {src} IS NOT NULL);\n"
        # and clears the destination of written rows whose source is NULL
        f"    IF EXISTS (SELECT 1 FROM inserted WHERE {src} IS NULL AND {dst} IS NOT NULL)\n"
        f"    UPDATE t\n"
        f"    SET t.{dst} = NULL\n"
        f"    FROM {table} AS t\n"
        f"    WHERE t.{src} IS NULL AND t.{dst} IN (SELECT {dst} FROM inserted WHERE {src} IS NULL);\n"
        for src, dst in pairs)
    return (f"CREATE OR ALTER TRIGGER {trigger}\nON {table}\nAFTER INSERT, UPDATE\nAS\nBEGIN\n"
            f"    SET NOCOUNT ON;\n{body}END;\nGO\n"
            f"EXEC sp_settriggerorder @triggername = N'{trigger}', @order = 'Last', @stmttype = 'INSERT';\nGO\n"
            f"EXEC sp_settriggerorder @triggername = N'{trigger}', @order = 'Last', @stmttype = 'UPDATE';\nGO\n")


def drop_script(table):
    validate_ident(table)
    trigger = f"zzz_{table}_autofill_desc"
    return f"IF OBJECT_ID(N'{trigger}', N'TR') IS NOT NULL DROP TRIGGER {trigger};\nGO\n"


class EmptyPairs(Exception):
    """PanicException "at least one ColumnPair required"."""


# -- conversions: the conversion tests' model, shared ---------------------

def quib_to_sorn(values):
    """QuibId.batch_to_sornids: the sorted pairs, or raises Refused."""
    out = convert_model.batch_to_sornids(values)
    if isinstance(out, str):
        raise Refused(out)
    return out


def conflict_records(values):
    """QuibId.sornid_conflict_details less the texts: (kind, timestamp_ms,
    node_id, count, max, members) per conflict, in the check's order, with
    None for the fields a kind lacks and the members as ints in input order.
    The timestamp is the whole squashed value, as in the check's texts."""
    nodes, stamps, groups = {}, {}, {}
    for q in values:
        ms, node = convert_model.squash(q)
        if node > convert_model.SORN_MAX_NODE:
            nodes.setdefault(node, []).append(q)
        elif ms > convert_model.SORN_MAX_MS:
            stamps.setdefault(ms, []).append(q)
        else:
            groups.setdefault((ms, node), []).append(q)
    top = convert_model.GROUP_MAX
    return ([("NodeIdOverflow", None, node, None, None, m) for node, m in nodes.items()]
            + [("TimestampOverflow", ms, None, None, None, m) for ms, m in stamps.items()]
            + [("SequenceOverflow", ms, node, len(m), top, m)
               for (ms, node), m in groups.items() if len(m) > top])
