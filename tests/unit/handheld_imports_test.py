#!/usr/bin/env python3
"""The handheld's imports come from the project's table of its calls, and nothing else does.

Usage: handheld_imports_test.py TABLE

Compiles, with the handheld's ARM compiler, an object that calls two of the table's calls, one
from each library, a helper of the compiler's own library and a call the table lacks, and has
tools/handheld_imports.py make its imports: the build must stop, naming the missing call and
the object that makes it, and the rest must resolve to the library the table gives them.
"""
import pathlib
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
import handheld_imports  # noqa: E402

COMPILER = "arm-none-eabi-gcc"
NM = "arm-none-eabi-nm"
CALLER = """
void Sleep(unsigned);
void InitCommonControls(void);
void GetConsoleWindow(void);
unsigned Divide(unsigned a, unsigned b) { return a / b; }  /* libgcc's __aeabi_uidiv */
void Caller(void) { Sleep(1); InitCommonControls(); GetConsoleWindow(); }
"""
EXPECTED_IMPORTS = {"COREDLL.dll": ["Sleep"], "COMMCTRL.dll": ["InitCommonControls"]}
EXPECTED_MISSING = "GetConsoleWindow, called in caller.o"


def main(table):
    libgcc = subprocess.run([COMPILER, "-march=armv4", "-print-libgcc-file-name"], check=True,
                            capture_output=True, text=True).stdout.strip()
    with tempfile.TemporaryDirectory() as folder:
        source, obj = pathlib.Path(folder) / "caller.c", pathlib.Path(folder) / "caller.o"
        source.write_text(CALLER)
        subprocess.run([COMPILER, "-marm", "-march=armv4", "-c", str(source), "-o", str(obj)],
                       check=True)
        imported, missing = handheld_imports.resolve(NM, libgcc, table, [str(obj)],
                                                     handheld_imports.arm_name)
    failures = []
    if imported != EXPECTED_IMPORTS:
        failures.append("imports %s, not %s" % (imported, EXPECTED_IMPORTS))
    if len(missing) != 1 or not missing[0].endswith(EXPECTED_MISSING):
        failures.append("refused %s, not the one call the table lacks (%s)"
                        % (missing, EXPECTED_MISSING))
    print("\n".join(failures) or "imports %s; refused: %s" % (imported, "; ".join(missing)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
