#include "tests/fakes/fake_os.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "engine/upgrade_context.h"
#include "platform/os.h"

namespace {

const wchar_t ACTIVE_DRIVERS_PATH[] = L"Drivers\\Active";
constexpr size_t ACTIVE_DRIVERS_CHARS = sizeof ACTIVE_DRIVERS_PATH / sizeof(wchar_t) - 1;

// Key handles the fake hands out; real ones never look like these.
const HKEY ACTIVE_DRIVERS_HANDLE = reinterpret_cast<HKEY>(0xAC00);
constexpr uintptr_t FIRST_INSTANCE_HANDLE = 0xB000;
const HANDLE PORT_HANDLE = reinterpret_cast<HANDLE>(0x5E41);

// Room for a whole update and then some: ~300 KB written, a few thousand calls.
constexpr size_t CALL_CAPACITY = 1 << 18;
constexpr size_t SENT_CAPACITY = 1 << 20;
constexpr size_t CLOSE_TABLE_SIZE = 32;

struct Value {
    std::wstring name;
    std::vector<uint8_t> data;
};

struct Instance {
    std::wstring name;
    std::vector<Value> values;
    bool openFails = false;
    fake::KeyUse use = {0, 0, 0};
    REGSAM access = 0;  // what its last open was granted
};

struct QueuedByte {
    uint8_t value;
    uint32_t dueTick;
};

struct HandleCloses {
    HANDLE handle;
    int count;
};

struct World {
    uint32_t ticks = 0;

    bool activeDriversExists = false;
    fake::KeyUse activeDriversUse = {0, 0, 0};
    REGSAM activeDriversAccess = 0;
    std::vector<Instance> instances;
    DWORD failEnumerationAt = MAXDWORD;
    int strayKeyCloses = 0;
    int refusedKeyOpens = 0;

    bool portExists = false;
    std::wstring portName;
    fake::PortState port = {};
    fake::PortBehaviour behaviour;
    uint32_t bytesAccepted = 0;
    std::vector<QueuedByte> toHost;
    size_t nextToHost = 0;
    fake::SerialPeer* peer = nullptr;

    fake::FaultInjection fault;
    uint32_t faultCallsSeen = 0;  // calls of the kind the fault waits for

    std::vector<fake::CallRecord> calls;
    fake::CallObserver observer = nullptr;
    std::vector<fake::SentByte> sent;
    HandleCloses closes[CLOSE_TABLE_SIZE] = {};

    bool threadCreationFails = false;
    DWORD threadEndHoldMs = 0;

    fake::Wakefulness awake = {};
    fake::PowerSupply power = {
        {AC_LINE_ONLINE, BATTERY_FLAG_HIGH, 100, 0, BATTERY_LIFE_UNKNOWN, BATTERY_LIFE_UNKNOWN},
        false,
        0};
};

World g_world;

// A thread whose end is held (HoldThreadEnds) runs its procedure through this. One at a
// time: os::CreateThread waits until the new thread has taken its procedure.
LPTHREAD_START_ROUTINE g_heldProcedure;
LPVOID g_heldParameter;
const HANDLE g_heldProcedureTaken = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);

DWORD WINAPI RunThenHoldTheEnd(LPVOID) {
    const LPTHREAD_START_ROUTINE procedure = g_heldProcedure;
    const LPVOID parameter = g_heldParameter;
    const DWORD holdMs = g_world.threadEndHoldMs;
    ::SetEvent(g_heldProcedureTaken);
    const DWORD code = procedure(parameter);
    ::Sleep(holdMs);
    return code;
}

[[noreturn]] void Misuse(const char* what) {
    fprintf(stderr, "fake platform: %s\n", what);
    abort();
}

Instance& InstanceAt(DWORD instance) {
    if (instance >= g_world.instances.size()) {
        Misuse("no such driver instance");
    }
    return g_world.instances[instance];
}

// The instance whose key this handle is, or null.
Instance* InstanceOf(HKEY key) {
    const uintptr_t number = reinterpret_cast<uintptr_t>(key) - FIRST_INSTANCE_HANDLE;
    return number < g_world.instances.size() ? &g_world.instances[number] : nullptr;
}

// The instance with this full path ("Drivers\Active\<name>"), or null.
Instance* InstanceAtPath(const wchar_t* path) {
    if (wcsncmp(path, ACTIVE_DRIVERS_PATH, ACTIVE_DRIVERS_CHARS) != 0 ||
        path[ACTIVE_DRIVERS_CHARS] != L'\\') {
        return nullptr;
    }
    for (Instance& instance : g_world.instances) {
        if (wcscmp(path + ACTIVE_DRIVERS_CHARS + 1, instance.name.c_str()) == 0) {
            return &instance;
        }
    }
    return nullptr;
}

// Read through volatile, so that the compiler cannot see the fault coming and leave it out
// (1 / x, say, it works out without dividing).
volatile uintptr_t g_nowhere = 0;
volatile int g_zero = 0;
volatile int g_quotient = 1;
constexpr DWORD RAISED_FAULT_CODE = 0xE0564E44;  // severity error, a customer's code

void FaultIfDue(fake::Call call) {
    const fake::FaultInjection& f = g_world.fault;
    if (f.fault == fake::Fault::NONE || call != f.call || g_world.faultCallsSeen++ != f.nth) {
        return;
    }
    switch (f.fault) {
        case fake::Fault::ACCESS_VIOLATION:
            *reinterpret_cast<volatile int*>(g_nowhere) = 1;
            break;
        case fake::Fault::DIVIDE_BY_ZERO:
            g_quotient /= g_zero;
            break;
        case fake::Fault::RAISED:
            RaiseException(RAISED_FAULT_CODE, 0, 0, nullptr);
            break;
        case fake::Fault::NONE:
            break;
    }
}

// Records a port call; signals cancellation, or faults, when the test asked for it at
// this call.
fake::CallRecord& Record(fake::Call call, uint32_t value = 0) {
    if (g_world.calls.size() == g_world.behaviour.cancelAtCall) {
        SetEvent(g_hCancelEvent);
    }
    g_world.calls.push_back({call, g_world.ticks, value});
    if (g_world.observer != nullptr) {
        g_world.observer(g_world.calls.back());
    }
    FaultIfDue(call);
    return g_world.calls.back();
}

bool IsOpenPort(HANDLE handle) {
    return handle == PORT_HANDLE && g_world.port.open;
}

bool Due(uint32_t dueTick, uint32_t now) {
    return static_cast<int32_t>(now - dueTick) >= 0;
}

// The next byte for the host at the current time, from the peer or the queue.
bool TakeByteForHost(uint8_t* byte) {
    if (g_world.peer != nullptr) {
        return g_world.peer->TakeByteForHost(g_world.ticks, g_world.port.settings.BaudRate, byte);
    }
    if (g_world.nextToHost < g_world.toHost.size() &&
        Due(g_world.toHost[g_world.nextToHost].dueTick, g_world.ticks)) {
        *byte = g_world.toHost[g_world.nextToHost++].value;
        return true;
    }
    return false;
}

// Waits as a real read attempt does: until the next byte falls due, READ_ATTEMPT_MS at most.
void WaitForByte() {
    uint32_t wait = fake::READ_ATTEMPT_MS;
    if (g_world.peer == nullptr && g_world.nextToHost < g_world.toHost.size()) {
        wait = std::min(wait, g_world.toHost[g_world.nextToHost].dueTick - g_world.ticks);
    }
    g_world.ticks += wait;
}

}  // namespace

namespace fake {

void SetTickCount(uint32_t ticks) {
    g_world.ticks = ticks;
}
void AdvanceClock(uint32_t milliseconds) {
    g_world.ticks += milliseconds;
}

void CreateActiveDriversKey() {
    g_world.activeDriversExists = true;
}

DWORD AddDriverInstance(const std::wstring& name) {
    g_world.activeDriversExists = true;
    g_world.instances.push_back({name, {}, false, {0, 0, 0}, 0});
    return static_cast<DWORD>(g_world.instances.size() - 1);
}

void SetValue(DWORD instance, const std::wstring& valueName, const std::vector<uint8_t>& data) {
    InstanceAt(instance).values.push_back({valueName, data});
}

std::vector<uint8_t> Terminated(const std::wstring& text) {
    std::vector<uint8_t> data = Unterminated(text);
    data.resize(data.size() + sizeof(wchar_t), 0);
    return data;
}

std::vector<uint8_t> Unterminated(const std::wstring& text) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
    return std::vector<uint8_t>(bytes, bytes + text.size() * sizeof(wchar_t));
}

void FailEnumerationAt(DWORD index) {
    g_world.failEnumerationAt = index;
}
void FailOpenOf(DWORD instance) {
    InstanceAt(instance).openFails = true;
}
KeyUse ActiveDriversKeyUse() {
    return g_world.activeDriversUse;
}
KeyUse InstanceKeyUse(DWORD instance) {
    return InstanceAt(instance).use;
}
int StrayKeyCloses() {
    return g_world.strayKeyCloses;
}
int RefusedKeyOpens() {
    return g_world.refusedKeyOpens;
}

void AddSerialPort(const std::wstring& name) {
    g_world.portExists = true;
    g_world.portName = name;
}

HANDLE PortHandle() {
    return PORT_HANDLE;
}

DCB InitialPortSettings() {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = 0;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = 1;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fErrorChar = 1;
    dcb.fNull = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    return dcb;
}

PortBehaviour& Behaviour() {
    return g_world.behaviour;
}

void DeliverToHost(const std::vector<uint8_t>& bytes, uint32_t atTick) {
    for (uint8_t byte : bytes) {
        g_world.toHost.push_back({byte, atTick});
    }
}

void AttachPeer(SerialPeer* peer) {
    g_world.peer = peer;
}

const std::vector<CallRecord>& Calls() {
    return g_world.calls;
}
void ObserveCalls(CallObserver observer) {
    g_world.observer = observer;
}
const std::vector<SentByte>& SentBytes() {
    return g_world.sent;
}
const PortState& Port() {
    return g_world.port;
}

FaultInjection& InjectedFault() {
    return g_world.fault;
}

int CloseCount(HANDLE handle) {
    for (const HandleCloses& entry : g_world.closes) {
        if (entry.count != 0 && entry.handle == handle) {
            return entry.count;
        }
    }
    return 0;
}

DWORD RegisterSleeveOn(const std::wstring& port) {
    const DWORD instance = AddDriverInstance(L"Serial");
    SetValue(instance, L"Key", Terminated(L"Drivers\\OptPack\\0100"));
    SetValue(instance, L"Name", Terminated(port));
    return instance;
}

DWORD ListSleeve(const std::wstring& port) {
    const DWORD instance = RegisterSleeveOn(port);
    AddSerialPort(port);
    return instance;
}

const Wakefulness& Awake() {
    return g_world.awake;
}
PowerSupply& Power() {
    return g_world.power;
}

void FailThreadCreation() {
    g_world.threadCreationFails = true;
}

void HoldThreadEnds(DWORD milliseconds) {
    g_world.threadEndHoldMs = milliseconds;
}

void ResetWorld() {
    // Clearing keeps the records' capacity, so only the first reset allocates it.
    std::vector<CallRecord> calls = std::move(g_world.calls);
    std::vector<SentByte> sent = std::move(g_world.sent);
    calls.clear();
    sent.clear();
    calls.reserve(CALL_CAPACITY);
    sent.reserve(SENT_CAPACITY);
    g_world = World();
    g_world.calls = std::move(calls);
    g_world.sent = std::move(sent);
    g_world.port.settings = InitialPortSettings();
}

}  // namespace fake

namespace os {

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
    fake::CallRecord& record = Record(fake::Call::CreateFile);
    fake::PortState& port = g_world.port;
    wcsncpy(port.openedName, fileName, std::size(port.openedName) - 1);
    port.openAccess = desiredAccess;
    port.openShareMode = shareMode;
    port.openDisposition = creationDisposition;
    port.openFlags = flagsAndAttributes;
    if (!g_world.portExists || port.open || wcscmp(fileName, g_world.portName.c_str()) != 0) {
        return INVALID_HANDLE_VALUE;
    }
    port.open = true;
    ++port.opens;
    record.value = 1;
    return PORT_HANDLE;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle == PORT_HANDLE) {
        Record(fake::Call::CloseHandle);
        g_world.port.open = false;
    }
    for (HandleCloses& entry : g_world.closes) {
        if (entry.count == 0 || entry.handle == handle) {
            entry.handle = handle;
            ++entry.count;
            return TRUE;
        }
    }
    Misuse("too many distinct handles closed");
}

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    Record(fake::Call::GetCommState);
    if (!IsOpenPort(handle) || g_world.behaviour.getCommStateFails) {
        return FALSE;
    }
    *dcb = g_world.port.settings;
    return TRUE;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    Record(fake::Call::SetCommState, dcb->BaudRate);
    if (!IsOpenPort(handle) || g_world.behaviour.setCommStateFails) {
        return FALSE;
    }
    g_world.port.settings = *dcb;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    Record(fake::Call::SetCommTimeouts);
    if (!IsOpenPort(handle) || g_world.behaviour.setCommTimeoutsFails) {
        return FALSE;
    }
    g_world.port.timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommMask(HANDLE handle, DWORD eventMask) {
    Record(fake::Call::SetCommMask, eventMask);
    if (!IsOpenPort(handle)) {
        return FALSE;
    }
    g_world.port.eventMask = eventMask;
    return TRUE;
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
    Record(fake::Call::PurgeComm, flags);
    if (!IsOpenPort(handle)) {
        return FALSE;
    }
    if (flags & PURGE_RXCLEAR) {
        while (g_world.nextToHost < g_world.toHost.size() &&
               Due(g_world.toHost[g_world.nextToHost].dueTick, g_world.ticks)) {
            ++g_world.nextToHost;
        }
    }
    return TRUE;
}

BOOL DeviceIoControl(HANDLE handle, DWORD ioControlCode, LPVOID, DWORD, LPVOID, DWORD,
                     LPDWORD bytesReturned, LPOVERLAPPED) {
    Record(fake::Call::DeviceIoControl, ioControlCode);
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    return IsOpenPort(handle) && ioControlCode == IOCTL_RECEIVER_SPEED_SWITCH &&
           !g_world.behaviour.refusesSpeedSwitch;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED) {
    fake::CallRecord& record = Record(fake::Call::WriteFile);
    *bytesWritten = 0;
    if (!IsOpenPort(handle)) {
        return FALSE;
    }
    const fake::PortBehaviour& behaviour = g_world.behaviour;
    const uint32_t accepted = std::min<uint32_t>(bytesToWrite, behaviour.maxBytesPerWrite);
    g_world.ticks += accepted == 0 && bytesToWrite != 0
                         ? std::max(behaviour.msPerWrite, fake::READ_ATTEMPT_MS)
                         : behaviour.msPerWrite;
    if (behaviour.failWriteAtByte >= g_world.bytesAccepted &&
        behaviour.failWriteAtByte - g_world.bytesAccepted < accepted) {
        return FALSE;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    const uint32_t baud = g_world.port.settings.BaudRate;
    for (uint32_t i = 0; i < accepted; ++i) {
        g_world.sent.push_back({bytes[i], baud, g_world.ticks});
    }
    g_world.bytesAccepted += accepted;
    if (g_world.peer != nullptr && accepted != 0) {
        g_world.peer->OnHostBytes(bytes, accepted, baud, g_world.ticks);
    }
    *bytesWritten = accepted;
    record.value = accepted;
    return TRUE;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED) {
    fake::CallRecord& record = Record(fake::Call::ReadFile);
    *bytesRead = 0;
    if (!IsOpenPort(handle)) {
        return FALSE;
    }
    if (bytesToRead == 0) {
        return TRUE;
    }
    uint8_t* byte = static_cast<uint8_t*>(buffer);
    if (!TakeByteForHost(byte)) {
        WaitForByte();
        if (!TakeByteForHost(byte)) {
            return TRUE;
        }
    }
    *bytesRead = 1;
    record.value = 1;
    return TRUE;
}

DWORD GetTickCount() {
    return g_world.ticks;
}

void Sleep(DWORD milliseconds) {
    Record(fake::Call::Sleep, milliseconds);
    g_world.ticks += milliseconds;
}

void SystemIdleTimerReset() {
    fake::Wakefulness& awake = g_world.awake;
    if (awake.idleTimerResets++ == 0) {
        awake.firstResetTick = g_world.ticks;
    } else {
        awake.longestResetGapMs =
            std::max(awake.longestResetGapMs, g_world.ticks - awake.lastResetTick);
    }
    awake.lastResetTick = g_world.ticks;
}

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE state) {
    const EXECUTION_STATE previous = g_world.awake.executionState;
    g_world.awake.executionState = state;
    g_world.awake.statesSet |= state;
    return previous;
}

BOOL GetSystemPowerStatusEx(PSYSTEM_POWER_STATUS_EX status, BOOL) {
    ++g_world.power.reads;
    if (g_world.power.readFails) {
        return FALSE;
    }
    *status = g_world.power.status;
    return TRUE;
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    *result = nullptr;
    if (key != HKEY_LOCAL_MACHINE || !g_world.activeDriversExists) {
        return ERROR_FILE_NOT_FOUND;
    }
    if ((desired & ~KEY_READ) != 0) {
        ++g_world.refusedKeyOpens;
        return ERROR_ACCESS_DENIED;
    }
    if (wcscmp(subKey, ACTIVE_DRIVERS_PATH) == 0) {
        ++g_world.activeDriversUse.opens;
        g_world.activeDriversAccess = desired;
        *result = ACTIVE_DRIVERS_HANDLE;
        return ERROR_SUCCESS;
    }
    Instance* instance = InstanceAtPath(subKey);
    if (instance == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (instance->openFails) {
        return ERROR_ACCESS_DENIED;
    }
    ++instance->use.opens;
    instance->access = desired;
    *result = reinterpret_cast<HKEY>(FIRST_INSTANCE_HANDLE + (instance - &g_world.instances[0]));
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD, LPWSTR, LPDWORD,
                   PFILETIME) {
    if (key != ACTIVE_DRIVERS_HANDLE) {
        return ERROR_INVALID_HANDLE;
    }
    if ((g_world.activeDriversAccess & KEY_ENUMERATE_SUB_KEYS) == 0 ||
        index == g_world.failEnumerationAt) {
        return ERROR_ACCESS_DENIED;
    }
    if (index >= g_world.instances.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const std::wstring& instanceName = g_world.instances[index].name;
    if (instanceName.size() >= *nameChars) {
        return ERROR_MORE_DATA;
    }
    wmemcpy(name, instanceName.c_str(), instanceName.size() + 1);
    *nameChars = static_cast<DWORD>(instanceName.size());
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataBytes) {
    Instance* instance = InstanceOf(key);
    if (instance == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((instance->access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    ++instance->use.valueReads;
    for (const Value& value : instance->values) {
        if (_wcsicmp(value.name.c_str(), valueName) != 0) {
            continue;
        }
        const DWORD size = static_cast<DWORD>(value.data.size());
        if (type != nullptr) {
            *type = REG_SZ;
        }
        if (data != nullptr && size > *dataBytes) {
            *dataBytes = size;
            return ERROR_MORE_DATA;
        }
        if (data != nullptr) {
            memcpy(data, value.data.data(), size);
        }
        *dataBytes = size;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY key) {
    if (key == ACTIVE_DRIVERS_HANDLE && g_world.activeDriversExists) {
        ++g_world.activeDriversUse.closes;
        return ERROR_SUCCESS;
    }
    if (Instance* instance = InstanceOf(key)) {
        ++instance->use.closes;
        return ERROR_SUCCESS;
    }
    ++g_world.strayKeyCloses;
    return ERROR_INVALID_HANDLE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES securityAttributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId) {
    if (g_world.threadCreationFails) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (g_world.threadEndHoldMs == 0) {
        return ::CreateThread(securityAttributes, stackSize, startAddress, parameter,
                              creationFlags, threadId);
    }
    g_heldProcedure = startAddress;
    g_heldParameter = parameter;
    const HANDLE thread = ::CreateThread(securityAttributes, stackSize, RunThenHoldTheEnd,
                                         nullptr, creationFlags, threadId);
    if (thread != nullptr) {
        ::WaitForSingleObject(g_heldProcedureTaken, INFINITE);
    }
    return thread;
}

}  // namespace os
