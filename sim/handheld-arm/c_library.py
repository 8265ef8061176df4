"""The C library that the handheld's coredll exports: memory and wide-string calls, and
the wide formatting with a count.

_snwprintf and _vsnwprintf are Microsoft's: %s is a wide string in a wide format (%hs a
narrow one), and a text that does not fit fills the buffer unterminated, the result being
the count when it just fits without its terminator and -1 when it does not fit. Of the
conversions they take c, d, i, u, x, X, s and %, with flags, width and precision; any
other ends the emulation, naming it.
"""
import re

from processor import Arguments, ProgramFault, coredll

CONVERSION = re.compile(r"%([-+ #0]*)(\*|\d+)?(?:\.(\*|\d*))?(h|l|w)?(.)", re.S)


def signed(word):
    return word - (1 << 32) if word & 0x80000000 else word


def pad(text, flags, width):
    if width is None or len(text) >= width:
        return text
    if "-" in flags:
        return text + " " * (width - len(text))
    return " " * (width - len(text)) + text


def format_integer(value, conversion, flags, width, precision):
    if conversion in "di":
        value = signed(value)
    digits = {"x": "%x", "X": "%X"}.get(conversion, "%d") % abs(value)
    if precision is not None:
        digits = digits.zfill(precision) if precision else digits.lstrip("0")
    sign = "-" if value < 0 else "+" if "+" in flags else " " if " " in flags else ""
    if "#" in flags and conversion in "xX" and value:
        sign += "0" + conversion
    if "0" in flags and "-" not in flags and precision is None and width:
        digits = digits.zfill(width - len(sign))
    return pad(sign + digits, flags, width)


class CLibrary:
    def __init__(self, processor):
        self.memory = processor.memory

    def narrow(self, address):
        data = bytearray()
        while True:
            byte = self.memory.read(address + len(data), 1)
            if byte == b"\0":
                return data.decode("latin-1")
            data += byte

    def format(self, template, arguments):
        def number(field):
            return signed(arguments.next()) if field == "*" else int(field)

        out = []
        position = 0
        for match in CONVERSION.finditer(template):
            out.append(template[position:match.start()])
            position = match.end()
            flags, width, precision, size, conversion = match.groups()
            width = number(width) if width else None
            if width is not None and width < 0:
                flags, width = flags + "-", -width
            precision = (number(precision) if precision else 0) if precision is not None \
                else None
            if conversion == "%":
                out.append("%")
            elif conversion in "diuxX":
                out.append(format_integer(arguments.next(), conversion, flags, width, precision))
            elif conversion == "c":
                out.append(pad(chr(arguments.next() & (0xFF if size == "h" else 0xFFFF)),
                               flags, width))
            elif conversion == "s":
                address = arguments.next()
                text = ("(null)" if address == 0 else self.narrow(address) if size == "h"
                        else self.memory.wide(address))
                out.append(pad(text if precision is None else text[:precision], flags, width))
            else:
                raise ProgramFault("the format %r, which the stand-in lacks" % match.group(0))
        out.append(template[position:])
        return "".join(out)

    def write_counted(self, buffer, count, text):
        units = text.encode("utf-16-le")
        chars = len(units) // 2
        if chars < count:
            self.memory.write(buffer, units + b"\0\0")
            return chars
        self.memory.write(buffer, units[:2 * count])
        return chars if chars == count else -1

    @coredll
    def _snwprintf(self, buffer, count, template, varargs):
        return self.write_counted(buffer, count, self.format(self.memory.wide(template), varargs))

    @coredll
    def _vsnwprintf(self, buffer, count, template, arguments):
        text = self.format(self.memory.wide(template), Arguments(self.memory, [], arguments))
        return self.write_counted(buffer, count, text)

    @coredll
    def memset(self, target, value, count):
        self.memory.write(target, bytes([value & 0xFF]) * count)
        return target

    @coredll
    def memcpy(self, target, source, count):
        self.memory.write(target, self.memory.read(source, count))
        return target

    @coredll
    def wcslen(self, text):
        return len(self.memory.wide_units(text))

    @coredll
    def wcscpy(self, target, source):
        units = self.memory.wide_units(source)
        self.memory.write(target, b"".join(u.to_bytes(2, "little") for u in units + [0]))
        return target

    @coredll
    def wcsncpy(self, target, source, count):
        # As the C library's: stops at count, and pads a shorter text with zeros up to it.
        units = self.memory.wide_units(source, count)
        units += [0] * (count - len(units))
        self.memory.write(target, b"".join(u.to_bytes(2, "little") for u in units))
        return target

    @coredll
    def wcsncmp(self, first, second, count):
        a = self.memory.wide_units(first, count)
        b = self.memory.wide_units(second, count)
        for x, y in zip(a + [0], b + [0]):
            if x != y:
                return x - y
            if x == 0:
                break
        return 0
