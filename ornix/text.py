"""Names from the file system or from a file, made safe to print in a table: a newline or an escape
code in a port's name would otherwise break the row or drive the terminal."""

from __future__ import annotations


def _escape(character: str) -> str:
    if character == "\\":
        return "\\\\"
    if character.isprintable():
        return character
    code = ord(character)
    # A byte of a file name that is not UTF-8, as os.listdir hands it over.
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"
    return character.encode("unicode_escape").decode("ascii")


def printable(text: str) -> str:
    """`text` with every character that is not printable written as Python writes it in a
    string literal (\\n, \\x1b, \\u2028), and backslashes doubled, so that it reads back
    unambiguously; the bytes of a name that is not UTF-8 as \\xNN."""
    if text.isprintable() and "\\" not in text:
        return text
    return "".join(_escape(character) for character in text)
