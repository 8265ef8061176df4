"""The handheld's serial port to the sleeve, on one end of a pty pair.

SerialPorts opens "COM5:" (the name the registry gives the sleeve's driver) as the pty it
was given, in raw mode, and knows no other name. A port keeps the handheld's DCB and
COMMTIMEOUTS: SetCommState sets the line speed on the pty; ReadFile and WriteFile wait as
the time-outs say, blocking only the calling thread. DeviceIoControl takes the sleeve
driver's speed switch. Bytes move as fast as the pty takes them: the receiver at the far end
paces the line.
"""
import os
import select
import termios
import time
import tty

from kernel import ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER
from processor import Wait, coredll

INVALID_HANDLE_VALUE = 0xFFFFFFFF
MAXDWORD = 0xFFFFFFFF
ERROR_GEN_FAILURE = 31
ERROR_NOT_SUPPORTED = 50

IOCTL_RECEIVER_SPEED_SWITCH = 0x001B0060  # the sleeve's driver moves the link to 115,200
DCB_BYTES = 28
PURGE_TXCLEAR = 0x4
PURGE_RXCLEAR = 0x8

SPEEDS = {
    1200: termios.B1200, 2400: termios.B2400, 4800: termios.B4800, 9600: termios.B9600,
    19200: termios.B19200, 38400: termios.B38400, 57600: termios.B57600,
    115200: termios.B115200,
}
# A port as the driver opens it: 9600 bit/s, binary, 8 data bits, no parity, one stop bit.
FIRST_DCB = (DCB_BYTES.to_bytes(4, "little") + (9600).to_bytes(4, "little")
             + (1).to_bytes(4, "little") + bytes(6) + bytes([8, 0, 0]) + bytes(7))
BAUD_OFFSET = 4
BYTE_SIZE_OFFSET, PARITY_OFFSET, STOP_BITS_OFFSET = 18, 19, 20


class Port:
    def __init__(self, path, report):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.dcb = bytearray(FIRST_DCB)
        self.timeouts = [0] * 5  # read interval, multiplier, constant; write multiplier, constant
        self.report = report

    def close(self):
        os.close(self.fd)

    def readable(self):
        return bool(select.select([self.fd], [], [], 0)[0])

    def writable(self):
        return bool(select.select([], [self.fd], [], 0)[1])


class SerialPorts:
    def __init__(self, processor, kernel, port_name, path, report):
        self.cpu = processor
        self.memory = processor.memory
        self.kernel = kernel
        self.port_name = port_name
        self.path = path
        self.report = report

    def port(self, handle):
        return self.kernel.object_of(handle, Port)

    @coredll
    def CreateFileW(self, name_address, access, share, attributes, disposition, flags,
                    template):
        name = self.memory.wide(name_address)
        if name.upper() != self.port_name.upper():
            return self.kernel.fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE)
        return self.kernel.add_handle(Port(self.path, self.report))

    @coredll
    def GetCommState(self, handle, dcb_address):
        port = self.port(handle)
        if port is None:
            return self.kernel.fail(ERROR_INVALID_HANDLE)
        self.memory.write(dcb_address, port.dcb)
        return 1

    @coredll
    def SetCommState(self, handle, dcb_address):
        port = self.port(handle)
        if port is None:
            return self.kernel.fail(ERROR_INVALID_HANDLE)
        dcb = bytearray(self.memory.read(dcb_address, DCB_BYTES))
        baud = int.from_bytes(dcb[BAUD_OFFSET:BAUD_OFFSET + 4], "little")
        if (baud not in SPEEDS or not 5 <= dcb[BYTE_SIZE_OFFSET] <= 8
                or dcb[PARITY_OFFSET] > 4 or dcb[STOP_BITS_OFFSET] > 2):
            return self.kernel.fail(ERROR_INVALID_PARAMETER)
        attributes = termios.tcgetattr(port.fd)
        attributes[4] = attributes[5] = SPEEDS[baud]
        termios.tcsetattr(port.fd, termios.TCSANOW, attributes)
        if dcb[BAUD_OFFSET:BAUD_OFFSET + 4] != port.dcb[BAUD_OFFSET:BAUD_OFFSET + 4]:
            self.report("line: %d bit/s" % baud)
        port.dcb = dcb
        return 1

    @coredll
    def SetCommTimeouts(self, handle, timeouts_address):
        port = self.port(handle)
        if port is None:
            return self.kernel.fail(ERROR_INVALID_HANDLE)
        port.timeouts = self.memory.words(timeouts_address, 5)
        return 1

    @coredll
    def SetCommMask(self, handle, mask):
        return 1 if self.port(handle) else self.kernel.fail(ERROR_INVALID_HANDLE)

    @coredll
    def PurgeComm(self, handle, flags):
        port = self.port(handle)
        if port is None:
            return self.kernel.fail(ERROR_INVALID_HANDLE)
        if flags & PURGE_RXCLEAR:
            termios.tcflush(port.fd, termios.TCIFLUSH)
        if flags & PURGE_TXCLEAR:
            termios.tcflush(port.fd, termios.TCOFLUSH)
        return 1

    @coredll
    def DeviceIoControl(self, handle, code, in_address, in_size, out_address, out_size,
                        returned_address, overlapped):
        if self.port(handle) is None:
            return self.kernel.fail(ERROR_INVALID_HANDLE)
        if code != IOCTL_RECEIVER_SPEED_SWITCH:
            return self.kernel.fail(ERROR_NOT_SUPPORTED)
        if returned_address:
            self.memory.put_word(returned_address, 0)
        return 1

    @coredll
    def ReadFile(self, handle, buffer, count, got_address, overlapped):
        """COMMTIMEOUTS as Win32 has them: interval MAXDWORD with multiplier and constant 0
        returns at once; interval and multiplier MAXDWORD with a constant returns at once
        with what is queued, else with the first byte to come, else empty after the
        constant; otherwise a total of multiplier per byte plus constant, and at most the
        interval between two bytes, where those are not 0."""
        port = self.port(handle)
        if port is None:
            return self.kernel.fail(ERROR_INVALID_HANDLE)
        interval, multiplier, constant = port.timeouts[:3]
        at_once = interval == MAXDWORD and multiplier == 0 and constant == 0
        first_byte = interval == MAXDWORD and multiplier == MAXDWORD and constant != MAXDWORD
        start = time.monotonic()
        if first_byte:
            total = constant
        else:
            total = multiplier * count + constant if multiplier or constant else None
        deadline = None if total is None else start + total / 1000
        data = bytearray()
        last_byte = start
        while True:
            try:
                chunk = os.read(port.fd, count - len(data)) if count > len(data) else b""
            except BlockingIOError:
                chunk = b""
            except OSError:
                return self.kernel.fail(ERROR_GEN_FAILURE)
            if chunk:
                data += chunk
                last_byte = time.monotonic()
            if len(data) == count or at_once or (first_byte and data):
                break
            until = deadline
            if data and interval and not first_byte:
                gap_end = last_byte + interval / 1000
                until = gap_end if until is None else min(until, gap_end)
            if until is not None and time.monotonic() >= until:
                break
            yield Wait("ReadFile", port.readable, until, readers=(port.fd,))
        self.memory.write(buffer, data)
        if got_address:
            self.memory.put_word(got_address, len(data))
        return 1

    @coredll
    def WriteFile(self, handle, buffer, count, written_address, overlapped):
        """Until all has gone, or the total write time-out (multiplier per byte plus
        constant, where not both 0) has passed."""
        port = self.port(handle)
        if port is None:
            return self.kernel.fail(ERROR_INVALID_HANDLE)
        multiplier, constant = port.timeouts[3:]
        data = self.memory.read(buffer, count)
        deadline = (time.monotonic() + (multiplier * count + constant) / 1000
                    if multiplier or constant else None)
        sent = 0
        while True:
            try:
                sent += os.write(port.fd, data[sent:]) if sent < count else 0
            except BlockingIOError:
                pass
            except OSError:
                return self.kernel.fail(ERROR_GEN_FAILURE)
            if sent == count or (deadline is not None and time.monotonic() >= deadline):
                break
            yield Wait("WriteFile", port.writable, deadline, writers=(port.fd,))
        if written_address:
            self.memory.put_word(written_address, sent)
        return 1
