"""The project's table of the handheld's calls, platform/handheld_api.txt, whose header gives
its rules. Read by the handheld's builds (tools/handheld_imports.py), which import from it
alone, and by their checks (tests/unit/handheld_api_test.py)."""
import pathlib

# The handheld's libraries, each a section of the table, in the order their imports are laid out.
LIBRARIES = ("COREDLL.dll", "COMMCTRL.dll")


def read_table(path):
    """Section name -> {name: the line's fields}, in the table's order."""
    sections, section = {}, None
    for line in pathlib.Path(path).read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            section = sections.setdefault(line.strip("[]"), {})
        else:
            fields = [field.strip() for field in line.split("|")]
            section[fields[0]] = fields
    return sections


def library_calls(sections):
    """Library -> the names the handheld's program may import from it, in the table's order."""
    return {library: list(sections.get(library, {})) for library in LIBRARIES}
