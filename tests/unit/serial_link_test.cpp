#include "engine/serial_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "platform/os.h"
#include "tests/fakes/allocation_counter.h"
#include "tests/fakes/fake_os.h"
#include "tests/fakes/scoped_world.h"
#include "ui/main_window.h"
#include "ui/status_lines.h"

namespace {

using fake::Call;

const wchar_t NOT_FORCED_TIME_TEXT[] = L"Time remaining: 1:01";
const uint32_t NO_LIMIT = UINT32_MAX;

std::vector<Call> CallsFrom(size_t first) {
    std::vector<Call> calls;
    for (size_t i = first; i < fake::Calls().size(); ++i) {
        calls.push_back(fake::Calls()[i].call);
    }
    return calls;
}

int CountOf(Call call) {
    int count = 0;
    for (const fake::CallRecord& record : fake::Calls()) {
        count += record.call == call;
    }
    return count;
}

std::vector<uint8_t> SentValues() {
    std::vector<uint8_t> values;
    for (const fake::SentByte& sent : fake::SentBytes()) {
        values.push_back(sent.value);
    }
    return values;
}

std::vector<uint8_t> Pattern(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return bytes;
}

// Arguments for the steps run under RunCatchingUpgradeErrors, which take only the context.
std::vector<uint8_t> g_payload;
bool g_timed;
uint8_t g_byteRead;

void WritePayload(UpgradeContext& context) {
    WriteAll(context, g_payload.data(), static_cast<uint32_t>(g_payload.size()));
}
void ReadOneByte(UpgradeContext& context) {
    g_byteRead = ReadByte(context, g_timed);
}

class SerialLink : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitProgramState(); }

    void SetUp() override {
        InitContext(context);
        g_statusText[0] = L'\0';
        SetTimeRemaining(context, 61, UNLESS_CANCELLED);
        ASSERT_STREQ(g_timeText, NOT_FORCED_TIME_TEXT);
    }

    // A port already open at 38,400 bit/s, as OpenReceiverPort leaves it.
    void OpenSleevePort() {
        fake::ListSleeve(L"COM5:");
        ASSERT_TRUE(RunCatchingUpgradeErrors(context, OpenReceiverPort)) << context.errorText;
    }

    fake::ScopedWorld world;
    UpgradeContext context;
};

// --- Opening the port --------------------------------------------------------------------

struct OpenCase {
    const char* scenario;
    void (*arrange)();
    const wchar_t* message;
    bool fileOpened;
    int portCloses;
};

const OpenCase OPEN_CASES[] = {
    {"no receiver registered", [] { fake::AddSerialPort(L"COM5:"); }, L"GPS receiver not attached",
     false, 0},
    {"a CompactFlash receiver",
     [] {
         const DWORD instance = fake::AddDriverInstance(L"PCMCIA");
         fake::SetValue(instance, L"PnpId", fake::Terminated(L"TAVRIN-5240"));
         fake::SetValue(instance, L"Name", fake::Terminated(L"COM7:"));
         fake::AddSerialPort(L"COM7:");
     },
     L"Vandrel cannot be used with CompactFlash GPS receivers", false, 0},
    {"the registered port does not exist",
     [] {
         fake::RegisterSleeveOn(L"COM9:");
         fake::AddSerialPort(L"COM5:");
     },
     L"Couldn't open GPS receiver port (COM9:)", true, 0},
    {"the port refuses its settings",
     [] {
         fake::ListSleeve(L"COM5:");
         fake::Behaviour().setCommStateFails = true;
     },
     L"Error setting port parameters", true, 1},
    {"the port refuses its time-outs",
     [] {
         fake::ListSleeve(L"COM5:");
         fake::Behaviour().setCommTimeoutsFails = true;
     },
     L"Error setting GPS receiver timeouts", true, 1},
};

TEST_F(SerialLink, EachOpenFailureHasItsMessageAndClosesOnlyAnOpenedPort) {
    for (const OpenCase& c : OPEN_CASES) {
        SCOPED_TRACE(c.scenario);
        const fake::ScopedWorld caseWorld;
        InitContext(context);
        c.arrange();

        EXPECT_FALSE(RunCatchingUpgradeErrors(context, OpenReceiverPort));
        EXPECT_STREQ(context.errorText, c.message);
        EXPECT_STREQ(g_statusText, L"Initialising...");
        EXPECT_EQ(CountOf(Call::CreateFile), c.fileOpened ? 1 : 0);
        EXPECT_EQ(fake::CloseCount(fake::PortHandle()), c.portCloses);
        EXPECT_FALSE(fake::Port().open);

        ClosePort(context);  // as the end of the run does
        EXPECT_EQ(fake::CloseCount(fake::PortHandle()), c.portCloses);
        EXPECT_EQ(fake::CloseCount(INVALID_HANDLE_VALUE), 0);
    }
}

// The settings 8N1 at 38,400 bit/s without flow control, over whatever the port held.
DCB ExpectedSettings(DCB dcb) {
    dcb.DCBlength = 28;
    dcb.BaudRate = 38400;
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
    return dcb;
}

TEST_F(SerialLink, OpenConfiguresTheRegisteredPortAndKeepsTheOtherSettings) {
    for (bool portReportsSettings : {true, false}) {
        SCOPED_TRACE(portReportsSettings ? "settings read" : "settings unreadable");
        const fake::ScopedWorld caseWorld;
        InitContext(context);
        fake::Behaviour().getCommStateFails = !portReportsSettings;
        OpenSleevePort();

        EXPECT_EQ(context.portHandle, fake::PortHandle());
        EXPECT_EQ(CallsFrom(0),
                  (std::vector<Call>{Call::CreateFile, Call::GetCommState, Call::SetCommState,
                                     Call::SetCommTimeouts, Call::SetCommMask, Call::PurgeComm}));
        const fake::PortState& port = fake::Port();
        EXPECT_STREQ(port.openedName, L"COM5:");
        EXPECT_EQ(port.openAccess, DWORD(GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(port.openShareMode, 0u);
        EXPECT_EQ(port.openDisposition, DWORD(OPEN_EXISTING));
        EXPECT_EQ(port.openFlags, 0u);

        // Unreadable settings are not replaced by whatever the stack held.
        const DCB expected =
            ExpectedSettings(portReportsSettings ? fake::InitialPortSettings() : DCB{});
        EXPECT_EQ(memcmp(&port.settings, &expected, sizeof expected), 0);
        const COMMTIMEOUTS none = {0, 0, 0, 0, 0};
        EXPECT_EQ(memcmp(&port.timeouts, &none, sizeof none), 0);
        EXPECT_EQ(port.eventMask, DWORD(EV_RXCHAR));
        EXPECT_EQ(fake::Calls().back().value, 0x0Cu);  // PURGE_TXCLEAR | PURGE_RXCLEAR
        EXPECT_EQ(fake::CloseCount(fake::PortHandle()), 0);
    }
}

// --- The speed switch --------------------------------------------------------------------

TEST_F(SerialLink, SwitchSendsOneMessageAtEachSpeedAroundTheChange) {
    OpenSleevePort();
    fake::Behaviour().msPerWrite = 3;  // bytes leave a little after the call
    const size_t first = fake::Calls().size();
    DCB before = fake::Port().settings;

    ASSERT_TRUE(RunCatchingUpgradeErrors(context, SwitchToHighSpeed)) << context.errorText;

    EXPECT_EQ(CallsFrom(first),
              (std::vector<Call>{Call::DeviceIoControl, Call::WriteFile, Call::Sleep,
                                 Call::GetCommState, Call::SetCommState, Call::WriteFile}));
    EXPECT_EQ(fake::Calls()[first].value, IOCTL_RECEIVER_SPEED_SWITCH);
    const std::vector<fake::SentByte>& sent = fake::SentBytes();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(SentValues(), (std::vector<uint8_t>{0x53, 0x02, 0x53, 0x00}));
    EXPECT_EQ(sent[1].baud, 38400u);
    EXPECT_EQ(sent[1].baud, sent[0].baud);
    EXPECT_EQ(sent[2].baud, 115200u);
    EXPECT_EQ(sent[3].baud, sent[2].baud);
    const fake::CallRecord& speedChange = fake::Calls()[first + 4];
    EXPECT_EQ(speedChange.value, 115200u);
    EXPECT_EQ(speedChange.tick - sent[1].tick, 100u);
    EXPECT_EQ(CountOf(Call::ReadFile), 0);

    before.BaudRate = 115200;  // and nothing else changed
    EXPECT_EQ(memcmp(&fake::Port().settings, &before, sizeof before), 0);
}

TEST_F(SerialLink, OldDriverRefusesTheSwitchBeforeAnyByteIsSent) {
    OpenSleevePort();
    fake::Behaviour().refusesSpeedSwitch = true;

    EXPECT_FALSE(RunCatchingUpgradeErrors(context, SwitchToHighSpeed));

    EXPECT_STREQ(context.errorText, L"Error: driver 3.1.3 or later required");
    EXPECT_TRUE(fake::SentBytes().empty());
    EXPECT_EQ(context.portHandle, fake::PortHandle());
    EXPECT_EQ(fake::CloseCount(fake::PortHandle()), 0);
}

TEST_F(SerialLink, CancellingDuringTheSwitchStopsTheMessagesButNotTheSpeedChange) {
    // Cancellation signalled as the k-th call of the switch is made (that call still
    // takes effect): DeviceIoControl, WriteFile, Sleep, GetCommState, SetCommState, WriteFile.
    const size_t bytesSent[] = {0, 2, 2, 2, 2, 4};
    for (size_t k = 0; k < std::size(bytesSent); ++k) {
        SCOPED_TRACE(k);
        const fake::ScopedWorld caseWorld;
        InitContext(context);
        OpenSleevePort();
        fake::Behaviour().cancelAtCall = static_cast<uint32_t>(fake::Calls().size() + k);

        EXPECT_TRUE(RunCatchingUpgradeErrors(context, SwitchToHighSpeed));

        EXPECT_EQ(fake::SentBytes().size(), bytesSent[k]);
        EXPECT_EQ(fake::Port().settings.BaudRate, 115200u);
        EXPECT_EQ(CountOf(Call::WriteFile), bytesSent[k] / 2);
    }
}

// --- WriteAll ----------------------------------------------------------------------------

struct WriteCase {
    const char* scenario;
    uint32_t startTick;
    size_t count;
    uint32_t maxBytesPerWrite;
    uint32_t msPerWrite;
    uint32_t failWriteAtByte;
    const wchar_t* message;  // null: all sent
    size_t bytesSent;
    uint32_t elapsedMs;
};

const WriteCase WRITE_CASES[] = {
    {"nothing to send", 0, 0, NO_LIMIT, 0, NO_LIMIT, nullptr, 0, 0},
    {"a chunk in one attempt", 0, 16384, NO_LIMIT, 0, NO_LIMIT, nullptr, 16384, 0},
    {"three bytes per attempt", 0, 10, 3, 1, NO_LIMIT, nullptr, 10, 4},
    {"last byte taken by the attempt that starts at the limit", 0, 6, 1, 1000, NO_LIMIT, nullptr, 6,
     6000},
    {"limit passed before the last byte", 0, 7, 1, 1000, NO_LIMIT,
     L"Error (write timeout): please check sleeve", 6, 6000},
    {"limit passed while the tick count wraps", 0xFFFFFFFF - 2500, 7, 1, 1000, NO_LIMIT,
     L"Error (write timeout): please check sleeve", 6, 6000},
    {"a port that takes nothing", 0, 5, 0, 0, NO_LIMIT,
     L"Error (write timeout): please check sleeve", 0, 5020},
    {"a write that fails", 0, 10, 3, 0, 4, L"Error (write error): please check sleeve", 3, 0},
};

TEST_F(SerialLink, WriteAllSendsEverythingInOrderWithinItsLimit) {
    for (const WriteCase& c : WRITE_CASES) {
        SCOPED_TRACE(c.scenario);
        const fake::ScopedWorld caseWorld;
        InitContext(context);
        SetTimeRemaining(context, 61, UNLESS_CANCELLED);
        OpenSleevePort();
        fake::SetTickCount(c.startTick);
        fake::Behaviour().maxBytesPerWrite = c.maxBytesPerWrite;
        fake::Behaviour().msPerWrite = c.msPerWrite;
        fake::Behaviour().failWriteAtByte = c.failWriteAtByte;
        g_payload = Pattern(c.count);

        const bool completed = RunCatchingUpgradeErrors(context, WritePayload);

        EXPECT_EQ(completed, c.message == nullptr);
        EXPECT_STREQ(context.errorText, c.message ? c.message : L"");
        EXPECT_STREQ(g_timeText, c.message ? L"" : NOT_FORCED_TIME_TEXT);
        g_payload.resize(c.bytesSent);
        EXPECT_EQ(SentValues(), g_payload);
        EXPECT_EQ(os::GetTickCount() - c.startTick, c.elapsedMs);
    }
}

TEST_F(SerialLink, SendingARomsWorthUsesNoHeap) {
    OpenSleevePort();
    fake::Behaviour().maxBytesPerWrite = 4096;
    g_payload = Pattern(300000);
    const long before = fake::AllocationCount();
    EXPECT_TRUE(RunCatchingUpgradeErrors(context, WritePayload));
    EXPECT_EQ(fake::AllocationCount() - before, 0);
    EXPECT_EQ(fake::SentBytes().size(), g_payload.size());
}

// --- ReadByte ----------------------------------------------------------------------------

struct ReadCase {
    const char* scenario;
    bool timed;
    uint32_t startTick;
    int byteDueAfterMs;     // -1: the receiver stays silent
    uint32_t cancelAtRead;  // cancellation signalled as this read attempt is made
    const wchar_t* message;
    bool returnsTheByte;
    uint32_t elapsedMs;
};

const wchar_t READ_TIMEOUT[] = L"Error (read timeout): please check sleeve";

const ReadCase READ_CASES[] = {
    {"byte waiting", true, 0, 0, NO_LIMIT, nullptr, true, 0},
    {"byte after a while", true, 0, 1234, NO_LIMIT, nullptr, true, 1234},
    {"silent receiver", true, 0, -1, NO_LIMIT, READ_TIMEOUT, false, 5020},
    {"silent receiver while the tick count wraps", true, 0xFFFFFFFF - 1000, -1, NO_LIMIT,
     READ_TIMEOUT, false, 5020},
    {"byte while the tick count wraps", true, 0xFFFFFFFF - 1000, 3000, NO_LIMIT, nullptr, true,
     3000},
    {"byte during the attempt that starts at the limit", true, 0, 5010, NO_LIMIT, nullptr, true,
     5010},
    {"byte just too late", true, 0, 5030, NO_LIMIT, READ_TIMEOUT, false, 5020},
    {"untimed, byte after a minute", false, 0, 60000, NO_LIMIT, nullptr, true, 60000},
    {"untimed, silent until cancelled", false, 0, -1, 499, nullptr, false, 500 * 20},
    {"byte read by the attempt during which cancellation came", true, 0, 0, 0, nullptr, true, 0},
};

TEST_F(SerialLink, ReadByteDeliversAByteOrFailsJustAfterItsLimit) {
    for (const ReadCase& c : READ_CASES) {
        SCOPED_TRACE(c.scenario);
        const fake::ScopedWorld caseWorld;
        InitContext(context);
        SetTimeRemaining(context, 61, UNLESS_CANCELLED);
        OpenSleevePort();
        fake::SetTickCount(c.startTick);
        if (c.byteDueAfterMs >= 0) {
            fake::DeliverToHost({0xA5}, c.startTick + c.byteDueAfterMs);
        }
        fake::Behaviour().cancelAtCall =
            c.cancelAtRead == NO_LIMIT
                ? NO_LIMIT
                : static_cast<uint32_t>(fake::Calls().size() + c.cancelAtRead);
        g_timed = c.timed;
        g_byteRead = 0;

        const bool completed = RunCatchingUpgradeErrors(context, ReadOneByte);

        EXPECT_EQ(completed, c.message == nullptr);
        EXPECT_STREQ(context.errorText, c.message ? c.message : L"");
        EXPECT_STREQ(g_timeText, c.message ? L"" : NOT_FORCED_TIME_TEXT);
        if (c.returnsTheByte) {
            EXPECT_EQ(g_byteRead, 0xA5);
        }
        EXPECT_EQ(os::GetTickCount() - c.startTick, c.elapsedMs);
    }
}

TEST_F(SerialLink, BytesComeOnePerCallInOrderOfArrival) {
    OpenSleevePort();
    const std::vector<uint8_t> answer = {0x00, 0x11, 0x13, 0xFF, 'Y'};
    fake::DeliverToHost(answer, 10);
    std::vector<uint8_t> read;
    for (size_t i = 0; i < answer.size(); ++i) {
        read.push_back(ReadByte(context, TIMED));
    }
    EXPECT_EQ(read, answer);
    EXPECT_EQ(CountOf(Call::ReadFile), int(answer.size()));  // the first waits for 10 ms
}

TEST_F(SerialLink, NothingHappensAtThePortOnceCancelled) {
    OpenSleevePort();
    fake::DeliverToHost({'Y'}, 0);
    const size_t callsBefore = fake::Calls().size();
    SetEvent(g_hCancelEvent);
    g_payload = Pattern(10);

    EXPECT_TRUE(RunCatchingUpgradeErrors(context, WritePayload));
    g_timed = true;
    EXPECT_TRUE(RunCatchingUpgradeErrors(context, ReadOneByte));

    EXPECT_EQ(fake::Calls().size(), callsBefore);
    EXPECT_TRUE(fake::SentBytes().empty());
    EXPECT_EQ(os::GetTickCount(), 0u);
}

}  // namespace
