// DeviceIoControl, with the receiver sleeve's driver of the handheld (version 3.1.3 or
// later) behind the sleeve's port. That driver takes its private control code below, with
// no buffers, to switch the receiver's link to 115,200 bit/s, after which the program sets the
// port's own speed to match. Under Wine the sleeve's port is a desktop serial port, whose driver
// reads the same number as a request of its own (the flow-control settings) and fails it
// without an output buffer; and a pty has no link speed to switch. So on any handle that is
// a serial port the stand-in accepts the code and does nothing; every other request passes
// to Wine.
#include <windows.h>
#include <winioctl.h>

#include "sim/handheld-x86/handheld_export.h"

namespace {

constexpr DWORD RECEIVER_SPEED_SWITCH =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 24, METHOD_BUFFERED, FILE_ANY_ACCESS);

}  // namespace

extern "C" BOOL __cdecl Handheld_DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inBytes,
                                                 void* out, DWORD outBytes, DWORD* returnedBytes,
                                                 OVERLAPPED* overlapped) {
    if (code == RECEIVER_SPEED_SWITCH) {
        DCB dcb;
        dcb.DCBlength = sizeof dcb;
        if (returnedBytes != nullptr) {
            *returnedBytes = 0;
        }
        return GetCommState(device, &dcb);
    }
    return DeviceIoControl(device, code, in, inBytes, out, outBytes, returnedBytes, overlapped);
}
HANDHELD_EXPORT(DeviceIoControl);
