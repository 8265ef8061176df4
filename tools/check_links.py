#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md reaches a file, and its #anchor a heading.

Usage: check_links.py SOURCE_ROOT

Anchors are made as GitHub makes them from a heading's text: markup dropped, lower case,
every character but letters, digits, spaces, '-' and '_' dropped, spaces turned to '-', and
a heading that repeats an earlier one's anchor given -1, -2, ... Links inside code are not
links. Prints each broken link as FILE:LINE: LINK (why) and exits 1 if there is any.
"""
import os
import pathlib
import re
import sys
import unicodedata

LINK = re.compile(r"!?\[(?:[^\]`]|`[^`]*`)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^ {0,3}(```|~~~)")
INLINE_CODE = re.compile(r"`+[^`]*`+")


def anchor_of(heading):
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link reads as its text
    text = re.sub(r"[`*]|<[^>]+>", "", text).lower()
    kept = (c for c in text
            if c in " -_" or unicodedata.category(c)[0] in "LMN")
    return "".join(kept).replace(" ", "-")


def prose_lines(path):
    """(line number, line) outside fenced code blocks."""
    fenced = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
        elif not fenced:
            yield number, line


def anchors(path, cache={}):
    if path not in cache:
        seen, found = {}, set()
        for _, line in prose_lines(path):
            match = HEADING.match(line)
            if match:
                base = anchor_of(match.group(2))
                count = seen.get(base, 0)
                seen[base] = count + 1
                found.add(base if count == 0 else f"{base}-{count}")
        cache[path] = found
    return cache[path]


def broken_links(root):
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    for page in pages:
        for number, line in prose_lines(page):
            for target in LINK.findall(INLINE_CODE.sub("", line)):
                if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
                    continue  # another site's address, not ours to check
                name, _, anchor = target.partition("#")
                reached = (page.parent / name).resolve() if name else page
                where = f"{page.relative_to(root)}:{number}: {target}"
                if not reached.exists():
                    yield f"{where} (no file {name})"
                elif anchor and reached.suffix == ".md" and anchor not in anchors(reached):
                    yield f"{where} (no heading #{anchor} in {os.path.relpath(reached, root)})"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    broken = list(broken_links(pathlib.Path(sys.argv[1]).resolve()))
    for line in broken:
        print(line)
    print(f"{len(broken)} broken link(s)" if broken else "every link holds")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
