// The serial link on a real port: the engine with the Win32 seam, over the null-modem line
// of tools/pty_pair.sh (COM5: registered as the sleeve's port, COM6: its far end). This
// program plays the receiver on COM6: with plain Win32 calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "engine/serial_link.h"
#include "platform/os.h"
#include "ui/main_window.h"
#include "ui/status_lines.h"

namespace {

const wchar_t RECEIVER_END[] = L"COM6:";
constexpr DWORD RECEIVER_READ_MS = 200;  // the far end's own read time-out
constexpr DWORD QUIET_MS = 300;          // the line counts as drained after this long

// An attempt's bound is a few tens of milliseconds; this is what a test tolerates on a
// busy machine.
constexpr DWORD ATTEMPT_SLACK_MS = 200;

std::vector<uint8_t> AllByteValues() {
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

HANDLE OpenReceiverEnd() {
    HANDLE port = CreateFileW(RECEIVER_END, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return port;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = 115200;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(port, &dcb);
    // Reads return what has come, or wait up to RECEIVER_READ_MS for the first byte.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, RECEIVER_READ_MS, 0, 0};
    SetCommTimeouts(port, &timeouts);
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    return port;
}

// Up to count bytes from the far end, waiting at most timeoutMs for all of them.
std::vector<uint8_t> ReceiveBytes(HANDLE port, size_t count, DWORD timeoutMs) {
    std::vector<uint8_t> bytes(count);
    size_t got = 0;
    const DWORD start = GetTickCount();
    while (got < count && GetTickCount() - start < timeoutMs) {
        DWORD read = 0;
        ReadFile(port, bytes.data() + got, static_cast<DWORD>(count - got), &read, nullptr);
        got += read;
    }
    bytes.resize(got);
    return bytes;
}

// Reads and drops whatever is still on its way to the far end.
void DrainReceiverEnd(HANDLE port) {
    uint8_t buffer[4096];
    DWORD lastByte = GetTickCount();
    while (GetTickCount() - lastByte < QUIET_MS) {
        DWORD read = 0;
        ReadFile(port, buffer, sizeof buffer, &read, nullptr);
        if (read != 0) {
            lastByte = GetTickCount();
        }
    }
}

// GetTickCount moves in steps of several milliseconds under some hosts; latencies need finer.
double NowMs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return count.QuadPart * 1000.0 / frequency.QuadPart;
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return (k.QuadPart + u.QuadPart) / 10000.0;  // 100 ns units
}

// Another thread doing one thing after a delay, as the window or the receiver would.
struct Later {
    DWORD delayMs;
    void (*action)(Later&);
    HANDLE port;
    uint8_t byte;
    double doneMs;
};

DWORD WINAPI RunLater(LPVOID parameter) {
    Later& later = *static_cast<Later*>(parameter);
    Sleep(later.delayMs);
    later.doneMs = NowMs();
    later.action(later);
    return 0;
}

void Cancel(Later&) {
    SetEvent(g_hCancelEvent);
}
void SendByte(Later& later) {
    DWORD written = 0;
    WriteFile(later.port, &later.byte, 1, &written, nullptr);
}

HANDLE StartLater(Later& later) {
    return CreateThread(nullptr, 0, RunLater, &later, 0, nullptr);
}

void Finish(HANDLE thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// Arguments and results of the steps run under RunCatchingUpgradeErrors.
std::vector<uint8_t> g_payload;
uint8_t g_byteRead;
void WritePayload(UpgradeContext& context) {
    WriteAll(context, g_payload.data(), static_cast<uint32_t>(g_payload.size()));
}
void ReadTimed(UpgradeContext& context) {
    g_byteRead = ReadByte(context, TIMED);
}
void ReadUntimed(UpgradeContext& context) {
    g_byteRead = ReadByte(context, UNTIMED);
}

class RealPort : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        InitProgramState();
        g_hCancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    void SetUp() override {
        ResetEvent(g_hCancelEvent);
        receiver = OpenReceiverEnd();
        ASSERT_NE(receiver, INVALID_HANDLE_VALUE) << "COM6: missing: tools/pty_pair.sh start";
        InitContext(context);
        ASSERT_TRUE(RunCatchingUpgradeErrors(context, OpenReceiverPort)) << context.errorText;
    }

    void TearDown() override {
        ClosePort(context);
        CloseHandle(receiver);
    }

    void SwitchAndSkipTheSpeedMessages() {
        ASSERT_TRUE(RunCatchingUpgradeErrors(context, SwitchToHighSpeed)) << context.errorText;
        ASSERT_EQ(ReceiveBytes(receiver, 4, 2000).size(), 4u);
    }

    UpgradeContext context;
    HANDLE receiver;
};

TEST_F(RealPort, RegisteredPortOpensAndSwitchesTo115200) {
    EXPECT_STREQ(context.portName, L"COM5:");

    ASSERT_TRUE(RunCatchingUpgradeErrors(context, SwitchToHighSpeed)) << context.errorText;

    EXPECT_EQ(ReceiveBytes(receiver, 5, 1000), (std::vector<uint8_t>{0x53, 0x02, 0x53, 0x00}));
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(context.portHandle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
}

TEST_F(RealPort, EveryByteValuePassesUnchangedBothWays) {
    SwitchAndSkipTheSpeedMessages();
    const std::vector<uint8_t> values = AllByteValues();

    g_payload = values;
    ASSERT_TRUE(RunCatchingUpgradeErrors(context, WritePayload)) << context.errorText;
    EXPECT_EQ(ReceiveBytes(receiver, values.size(), 2000), values);

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(receiver, values.data(), 256, &written, nullptr));
    ASSERT_EQ(written, 256u);
    std::vector<uint8_t> read;
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_TRUE(RunCatchingUpgradeErrors(context, ReadTimed)) << context.errorText;
        read.push_back(g_byteRead);
    }
    EXPECT_EQ(read, values);
}

TEST_F(RealPort, ReadAttemptsComeBackWithinTheirBound) {
    for (int i = 0; i < 5; ++i) {
        uint8_t byte;
        DWORD got = 1;
        const DWORD start = GetTickCount();
        os::ReadFile(context.portHandle, &byte, 1, &got, nullptr);
        EXPECT_EQ(got, 0u);
        EXPECT_LT(GetTickCount() - start, ATTEMPT_SLACK_MS);
    }

    // A port that fails at once is not retried faster than a silent one.
    uint8_t byte;
    DWORD got;
    const DWORD start = GetTickCount();
    EXPECT_FALSE(os::ReadFile(INVALID_HANDLE_VALUE, &byte, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_GE(GetTickCount() - start, 10u);
}

TEST_F(RealPort, ArrivingByteIsSeenAtOnceAndAnIdleSecondCostsNoCpu) {
    Later send = {300, SendByte, receiver, 'Y', 0};
    HANDLE sender = StartLater(send);
    ASSERT_TRUE(RunCatchingUpgradeErrors(context, ReadTimed)) << context.errorText;
    const double latencyMs = NowMs() - send.doneMs;
    Finish(sender);
    EXPECT_EQ(g_byteRead, 'Y');
    EXPECT_LT(latencyMs, 50.0);

    Later cancel = {1000, Cancel, nullptr, 0, 0};
    const double cpuBefore = ProcessCpuMs();
    const DWORD start = GetTickCount();
    HANDLE canceller = StartLater(cancel);
    ASSERT_TRUE(RunCatchingUpgradeErrors(context, ReadUntimed)) << context.errorText;
    const DWORD waited = GetTickCount() - start;
    const double cpuMs = ProcessCpuMs() - cpuBefore;
    Finish(canceller);
    printf("byte seen %.1f ms after it was sent; idle wait of %lu ms cost %.1f ms of CPU\n",
           latencyMs, static_cast<unsigned long>(waited), cpuMs);
    EXPECT_GE(waited, 1000u);
    EXPECT_LT(waited, 1000 + ATTEMPT_SLACK_MS);
    EXPECT_LT(cpuMs, 100.0);
}

TEST_F(RealPort, FarEndThatTakesNothingCannotHoldAWriteAfterCancellation) {
    SwitchAndSkipTheSpeedMessages();
    // Fill the line until a write attempt is refused, then check such attempts are bounded.
    g_payload.assign(65536, 0x55);
    const DWORD blockBytes = static_cast<DWORD>(g_payload.size());
    DWORD written = 1;
    for (int attempts = 0; written != 0 && attempts < 1000; ++attempts) {
        os::WriteFile(context.portHandle, g_payload.data(), blockBytes, &written, nullptr);
    }
    ASSERT_EQ(written, 0u) << "the line never filled up";
    const DWORD attemptStart = GetTickCount();
    EXPECT_TRUE(os::WriteFile(context.portHandle, g_payload.data(), blockBytes, &written, nullptr));
    EXPECT_LT(GetTickCount() - attemptStart, ATTEMPT_SLACK_MS);

    Later cancel = {300, Cancel, nullptr, 0, 0};
    const DWORD start = GetTickCount();
    HANDLE canceller = StartLater(cancel);
    EXPECT_TRUE(RunCatchingUpgradeErrors(context, WritePayload)) << context.errorText;
    const DWORD waited = GetTickCount() - start;
    Finish(canceller);
    EXPECT_LT(waited, 300 + ATTEMPT_SLACK_MS);

    DrainReceiverEnd(receiver);
}

}  // namespace
