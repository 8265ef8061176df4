#include "engine/serial_link.h"

#include <string.h>

#include "engine/keep_awake.h"
#include "engine/payload_check.h"
#include "engine/receiver_discovery.h"
#include "engine/run_report.h"
#include "platform/os.h"

namespace {

const wchar_t INITIALISING_TEXT[] = L"Initialising...";
const wchar_t NOT_ATTACHED_MESSAGE[] = L"GPS receiver not attached";
const wchar_t COMPACTFLASH_MESSAGE[] = L"Vandrel cannot be used with CompactFlash GPS receivers";
const wchar_t OPEN_FAILED_FORMAT[] = L"Couldn't open GPS receiver port (%ls)";
const wchar_t PORT_SETTINGS_MESSAGE[] = L"Error setting port parameters";
const wchar_t PORT_TIMEOUTS_MESSAGE[] = L"Error setting GPS receiver timeouts";
const wchar_t DRIVER_TOO_OLD_MESSAGE[] = L"Error: driver 3.1.3 or later required";
const wchar_t WRITE_TIMEOUT_MESSAGE[] = L"Error (write timeout): please check sleeve";
const wchar_t WRITE_ERROR_MESSAGE[] = L"Error (write error): please check sleeve";
const wchar_t READ_TIMEOUT_MESSAGE[] = L"Error (read timeout): please check sleeve";

constexpr DWORD INITIAL_BAUD = 38400;   // the receiver's boot code listens here
constexpr DWORD HIGH_BAUD = 115200;     // after the speed switch
constexpr DWORD SWITCH_PAUSE_MS = 100;  // lets the receiver change speed before the port does

// The size the handheld's serial driver expects in DCBlength; the desktop DCB has it too.
constexpr DWORD DCB_BYTES = 28;
static_assert(sizeof(DCB) == DCB_BYTES, "DCB layout differs from the handheld's");

// Tell the receiver to move to 115,200 bit/s (sent at the old speed), then confirm at the
// new one.
const uint8_t FIRST_SPEED_MESSAGE[] = {0x53, 0x02};
const uint8_t SECOND_SPEED_MESSAGE[] = {0x53, 0x00};

// The link's own failures first empty the time-remaining line, so no stale estimate stays
// on screen next to the error.
[[noreturn]] void FailLink(UpgradeContext& context, const wchar_t* message) {
    SetTimeRemaining(context, TIME_REMAINING_NONE, UNLESS_CANCELLED);
    UpgradeError(context, message);
}

bool LimitPassed(DWORD start) {
    return os::GetTickCount() - start > LINK_TIMEOUT_MS;
}

// Reads the port's settings into dcb. When the port cannot report them, the fields we do
// not set stay 0 rather than stack garbage; SetCommState then decides.
void ReadPortSettings(HANDLE port, DCB& dcb) {
    memset(&dcb, 0, sizeof dcb);
    os::GetCommState(port, &dcb);
}

}  // namespace

void OpenReceiverPort(UpgradeContext& context) {
    SetStatusText(context, INITIALISING_TEXT, UNLESS_CANCELLED);
    // Damaged payloads end the run before any port is looked for, let alone opened.
    CheckPayloads(context);
    if (!FindReceiverPort(context, context.portName, sizeof context.portName)) {
        UpgradeError(context, NOT_ATTACHED_MESSAGE);
    }
    if (context.isCompactFlash) {
        UpgradeError(context, COMPACTFLASH_MESSAGE);
    }

    context.portHandle = os::CreateFileW(context.portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
    if (context.portHandle == INVALID_HANDLE_VALUE) {
        UpgradeError(context, OPEN_FAILED_FORMAT, context.portName);
    }

    // 8N1 without flow control, so every byte value travels as data both ways.
    DCB dcb;
    ReadPortSettings(context.portHandle, dcb);
    dcb.DCBlength = DCB_BYTES;
    dcb.BaudRate = INITIAL_BAUD;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!os::SetCommState(context.portHandle, &dcb)) {
        ClosePort(context);
        UpgradeError(context, PORT_SETTINGS_MESSAGE);
    }

    // No time-outs of the port's own: every limit belongs to WriteAll and ReadByte.
    COMMTIMEOUTS timeouts = {0, 0, 0, 0, 0};
    if (!os::SetCommTimeouts(context.portHandle, &timeouts)) {
        ClosePort(context);
        UpgradeError(context, PORT_TIMEOUTS_MESSAGE);
    }
    os::SetCommMask(context.portHandle, EV_RXCHAR);
    os::PurgeComm(context.portHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void SwitchToHighSpeed(UpgradeContext& context) {
    DWORD bytesReturned;
    if (!os::DeviceIoControl(context.portHandle, IOCTL_RECEIVER_SPEED_SWITCH, nullptr, 0, nullptr,
                             0, &bytesReturned, nullptr)) {
        UpgradeError(context, DRIVER_TOO_OLD_MESSAGE);
    }
    WriteAll(context, FIRST_SPEED_MESSAGE, sizeof FIRST_SPEED_MESSAGE);
    os::Sleep(SWITCH_PAUSE_MS);

    // A failure here leaves the port at 38,400 bit/s; the receiver's silence will tell.
    DCB dcb;
    ReadPortSettings(context.portHandle, dcb);
    dcb.BaudRate = HIGH_BAUD;
    os::SetCommState(context.portHandle, &dcb);

    WriteAll(context, SECOND_SPEED_MESSAGE, sizeof SECOND_SPEED_MESSAGE);
}

void WriteAll(UpgradeContext& context, const uint8_t* bytes, uint32_t count) {
    uint32_t sent = 0;
    const DWORD start = os::GetTickCount();
    for (;;) {
        if (IsCancelled() || sent >= count) {
            return;
        }
        if (LimitPassed(start)) {
            FailLink(context, WRITE_TIMEOUT_MESSAGE);
        }
        KeepAwake();
        DWORD written = 0;
        if (!os::WriteFile(context.portHandle, bytes + sent, count - sent, &written, nullptr)) {
            FailLink(context, WRITE_ERROR_MESSAGE);
        }
        sent += written;
    }
}

uint8_t ReadByte(UpgradeContext& context, bool timed) {
    uint8_t byte = 0;
    DWORD got = 0;
    const DWORD start = os::GetTickCount();
    for (;;) {
        // A byte already read is delivered even when the limit or cancellation came
        // meanwhile: the receiver sent it, and the protocol must not lose it.
        if (got != 0) {
            return byte;
        }
        if (IsCancelled()) {
            return byte;
        }
        if (timed && LimitPassed(start)) {
            FailLink(context, READ_TIMEOUT_MESSAGE);
        }
        KeepAwake();
        // A failed attempt counts as one without a byte; the platform bounds each attempt.
        got = 0;
        os::ReadFile(context.portHandle, &byte, 1, &got, nullptr);
    }
}
