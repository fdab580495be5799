"""Fails unless every text of the message catalogue appears in the protocol reference.

Usage: check-catalogue.py MESSAGES_HPP PROTOCOL_MD

The catalogue is read as the compiler reads it: comments are dropped, adjacent
string literals are joined, and escapes are resolved, so each constant is
compared as the bytes the helper shows.
"""

import pathlib
import re
import sys

LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
DECLARATION = re.compile(r"constexpr\s+const\s+char\s*\*\s*(\w+)\s*=\s*((?:\s*\"(?:[^\"\\\n]|\\.)*\")+)\s*;")
ESCAPES = {"n": "\n", "t": "\t", '"': '"', "\\": "\\", "'": "'"}


def unescape(text):
    return re.sub(r"\\(.)", lambda match: ESCAPES[match.group(1)], text)


def catalogue(header):
    source = pathlib.Path(header).read_text(encoding="utf-8")
    source = re.sub(r"//[^\n]*", "", source)
    texts = []
    for name, literals in DECLARATION.findall(source):
        texts.append((name, "".join(unescape(part) for part in LITERAL.findall(literals))))
    # A literal outside the declarations read above would go unchecked.
    stray = LITERAL.findall(DECLARATION.sub("", source))
    texts += [("(not a `constexpr const char*` constant)", unescape(text)) for text in stray]
    return texts


def main(header, protocol):
    texts = catalogue(header)
    reference = pathlib.Path(protocol).read_text(encoding="utf-8")
    missing = [(name, text) for name, text in texts if text not in reference]
    for name, text in missing:
        print(f"not in {protocol}: {name} = {text!r}")
    print(f"{len(texts)} catalogue texts, {len(missing)} undocumented")
    return 1 if missing or not texts else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
