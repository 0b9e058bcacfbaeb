"""Debug-quoted text, seen through the message of a refused SQL identifier.

The escaping decisions for non-ASCII characters come from generated Unicode
tables; they are checked here against two independent sources, Python's
`unicodedata` for general categories and the `regex` package for
Grapheme_Extend, on the characters all of them agree on.
"""
import re
import unicodedata

import pytest
import regex

from _sornquibid import mssql_schema

PREFIX = 'invalid SQL identifier: "'


def quoted(text):
    """The debug-quoted form of `text`, between its double quotes."""
    with pytest.raises(ValueError) as info:
        mssql_schema.mssql_drop_autofill_trigger_for_table(text)
    message = str(info.value)
    assert message.startswith(PREFIX) and message.endswith('"')
    return message[len(PREFIX) : -1]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("\u0007", r"\u{7}"),
        ("\u00a0", r"\u{a0}"),
        ("x\u0301", r"x\u{301}"),
        ('"', r"\""),
        ("\\", r"\\"),
        ("\t", r"\t"),
        ("\r", r"\r"),
        ("\n", r"\n"),
        ("\0", r"\0"),
        ("'", "'"),
        (" ", " "),
        ("a b'c", "a b'c"),
        ("\x01\x1f\x7f", r"\u{1}\u{1f}\u{7f}"),
        ("\x80\x9f", r"\u{80}\u{9f}"),
        ("naïve", "naïve"),
        ("Ωmega 日本 ß", "Ωmega 日本 ß"),
        # Separators other than the ASCII space.
        ("\u2028\u2029\u3000\u2003", r"\u{2028}\u{2029}\u{3000}\u{2003}"),
        # Format characters, the zero-width non-joiner also a grapheme extender.
        ("\u00ad\u200c\u200d\ufeff", r"\u{ad}\u{200c}\u{200d}\u{feff}"),
        # Private use and unassigned, at the very end of the code space too.
        ("\ue000\U000f0000\U0010fffd\U0010ffff", r"\u{e000}\u{f0000}\u{10fffd}\u{10ffff}"),
        # Large blocks given as First>/Last> ranges in the data files.
        ("\u4e00\u9fa5\uac00\ud7a3\U00020000", "\u4e00\u9fa5\uac00\ud7a3\U00020000"),
        # Grapheme extenders outside the mark categories.
        ("\uff9e\U000e0020", r"\u{ff9e}\u{e0020}"),
        ("\u0488", r"\u{488}"),  # an enclosing mark
        ("\U0001f600", "\U0001f600"),
    ],
)
def test_examples(text, expected):
    assert quoted(text) == expected


def test_long_input_is_quoted_whole():
    text = "ä\u0301" * 5000
    assert quoted(text) == "ä\\u{301}" * 5000


NON_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
TOKEN = re.compile(r"\\u\{([0-9a-f]+)\}|\\(.)|(.)", re.S)


def escaped_code_points():
    """Every non-ASCII, non-surrogate code point mapped to whether it is escaped."""
    cps = [cp for cp in range(0x80, 0x110000) if not 0xD800 <= cp <= 0xDFFF]
    out = quoted("".join(map(chr, cps)))
    result = {}
    for m in TOKEN.finditer(out):
        if m.group(1) is not None:
            result[int(m.group(1), 16)] = True
        else:
            assert m.group(3) is not None, m.group(0)
            result[ord(m.group(3))] = False
    assert sorted(result) == cps
    return result


# The Unicode version of the library's tables (src/unicode_tables.cpp). A
# newer interpreter (Python 3.13 has 15.1) assigns characters that the tables
# leave unassigned, and so escape.
TABLES_UNICODE = (15, 0, 0)
PYTHON_UNICODE_IS_NEWER = tuple(map(int, unicodedata.unidata_version.split("."))) > TABLES_UNICODE


def test_against_unicodedata_and_regex():
    escaped = escaped_code_points()
    category_patterns = {}
    grapheme_extend = regex.compile(r"\p{Grapheme_Extend}")
    checked = 0
    for cp, is_escaped in escaped.items():
        ch = chr(cp)
        cat = unicodedata.category(ch)
        if cat == "Cn":
            # Unassigned in Python's (possibly older) database: no reference.
            continue
        pattern = category_patterns.setdefault(cat, regex.compile(rf"\p{{gc={cat}}}"))
        if not pattern.match(ch):
            # The category changed between the Unicode versions involved.
            continue
        checked += 1
        extend = grapheme_extend.match(ch) is not None
        if cat == "Mc" and extend and not is_escaped:
            # Unicode 16 gave several spacing marks the Grapheme_Extend
            # property; the tables predate that.
            continue
        expected = cat in NON_PRINTABLE or extend
        if is_escaped and not expected and PYTHON_UNICODE_IS_NEWER:
            # Possibly assigned after the tables' version.
            continue
        assert is_escaped == expected, (hex(cp), cat, extend)
    # Nearly every character assigned in Python's database is compared.
    assert checked > 0.99 * sum(unicodedata.category(chr(cp)) != "Cn" for cp in escaped)
