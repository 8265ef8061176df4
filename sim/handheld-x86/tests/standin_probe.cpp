// A Windows CE program for the stand-in's tests, built as the handheld's program is (the
// handheld's declarations, no C runtime, __cdecl throughout) against the stand-in's own
// libraries. Its one argument picks what it does:
//   calls           the calls that differ on the handheld, each checked; ends with
//                   TerminateProcess(GetCurrentProcess(), 0), or with the number of the first
//                   check that failed. Expects VANDREL_POWER_STATUS=0,2,12.
//   bad-power       ends with GetSystemPowerStatusEx's error; expects a status that does not
//                   read as one
//   return          its entry point returns 5
//   stdcall-window  a window procedure that pops its arguments
//   stdcall-thread  a thread procedure that pops its argument
//   write-page      writes the kernel's data page
//   fault           writes to an address nothing is mapped at
//   unknown-import  calls GetConsoleWindow, which the handheld does not have
#include <windows.h>

#include <wchar.h>

namespace {

constexpr WORD ICON_ID = 101;  // res/vandrel.rc
constexpr UINT TITLE_ID = 1;
constexpr DWORD GUARD = 0x600DF00D;
constexpr int IDLE_RESETS = 3;
constexpr ULONG_PTR UNMAPPED_ADDRESS = 0x8000;  // below 64 KB, above the data page
const wchar_t CLASS_NAME[] = L"ProbeWindow";

struct Guarded20 {
    BYTE bytes[20];  // the handheld's CRITICAL_SECTION
    DWORD guard;
};
struct GuardedPowerStatus {
    SYSTEM_POWER_STATUS_EX status;
    DWORD guard;
};

DWORD g_workerId;

bool Is(const wchar_t* scenario, const wchar_t* name) {
    return wcsncmp(scenario, name, wcslen(name) + 1) == 0;
}

[[noreturn]] void End(UINT code) {
    TerminateProcess(GetCurrentProcess(), code);
    for (;;) {
    }
}

LRESULT CALLBACK AddingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return message == WM_USER ? wParam + lParam : DefWindowProcW(window, message, wParam, lParam);
}
LRESULT __attribute__((stdcall))
PoppingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}
DWORD WINAPI NoteThreadId(void*) {
    g_workerId = GetCurrentThreadId();
    return 0;
}
DWORD __attribute__((stdcall)) PoppingThreadProc(void*) {
    return 0;
}

HWND MakeWindow(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = CLASS_NAME;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, CLASS_NAME, L"", 0, 0, 0, 10, 10, nullptr, nullptr, instance,
                           nullptr);
}

bool ThreadIdsHold() {
    DWORD reported = 0;
    HANDLE worker = CreateThread(nullptr, 0, NoteThreadId, nullptr, 0, &reported);
    const bool ended = WaitForSingleObject(worker, INFINITE) == WAIT_OBJECT_0;
    CloseHandle(worker);
    return ended && g_workerId == reported && g_workerId != GetCurrentThreadId();
}

bool EventsHold() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const bool set = SetEvent(event) && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    const bool reset = ResetEvent(event) && WaitForSingleObject(event, 0) == WAIT_TIMEOUT;
    const bool unknown = !EventModify(event, 0);
    CloseHandle(event);
    return set && reset && unknown;
}

bool CriticalSectionKeepsTo20Bytes() {
    Guarded20 section = {{}, GUARD};
    auto* handheld = reinterpret_cast<CRITICAL_SECTION*>(section.bytes);
    InitializeCriticalSection(handheld);
    EnterCriticalSection(handheld);
    EnterCriticalSection(handheld);
    LeaveCriticalSection(handheld);
    LeaveCriticalSection(handheld);
    DeleteCriticalSection(handheld);
    return section.guard == GUARD;
}

bool PowerStatusIsTheVariables() {
    GuardedPowerStatus power = {};
    power.guard = GUARD;
    const SYSTEM_POWER_STATUS_EX& s = power.status;
    return GetSystemPowerStatusEx(&power.status, TRUE) && s.ACLineStatus == 0 &&
           s.BatteryFlag == 2 && s.BatteryLifePercent == 12 && s.Reserved1 == 0 &&
           s.BatteryLifeTime == 0xFFFFFFFF && s.BackupBatteryFlag == 255 &&
           s.BackupBatteryFullLifeTime == 0xFFFFFFFF && power.guard == GUARD;
}

bool RegistryOpensWithoutAccessMask() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0, 0,
                      &key) != ERROR_SUCCESS) {
        return false;
    }
    wchar_t version[32];
    DWORD bytes = sizeof version;
    const bool read = RegQueryValueExW(key, L"CurrentVersion", nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(version), &bytes) == ERROR_SUCCESS;
    RegCloseKey(key);
    return read;
}

bool WindowProcedureAnswers(HINSTANCE instance) {
    HWND window = MakeWindow(instance, AddingWindowProc);
    const bool answered = window != nullptr && SendMessageW(window, WM_USER, 2, 3) == 5;
    DestroyWindow(window);
    return answered;
}

bool ResourcesFound(HINSTANCE instance) {
    wchar_t title[32];
    return LoadStringW(instance, TITLE_ID, title, 32) > 0 &&
           LoadIconW(instance, MAKEINTRESOURCEW(ICON_ID)) != nullptr;
}

[[noreturn]] void CheckCalls(HINSTANCE instance) {
    const bool held[] = {ThreadIdsHold(),
                         EventsHold(),
                         CriticalSectionKeepsTo20Bytes(),
                         PowerStatusIsTheVariables(),
                         RegistryOpensWithoutAccessMask(),
                         WindowProcedureAnswers(instance),
                         ResourcesFound(instance)};
    for (UINT i = 0; i < sizeof held / sizeof held[0]; ++i) {
        if (!held[i]) {
            End(i + 1);
        }
    }
    for (int i = 0; i < IDLE_RESETS; ++i) {
        SystemIdleTimerReset();
    }
    End(0);
}

}  // namespace

extern "C" int WINAPI WinMainCRTStartup(HINSTANCE instance, HINSTANCE, LPWSTR scenario, int) {
    if (Is(scenario, L"calls")) {
        CheckCalls(instance);
    } else if (Is(scenario, L"bad-power")) {
        SYSTEM_POWER_STATUS_EX status;
        End(GetSystemPowerStatusEx(&status, TRUE) ? 0 : GetLastError());
    } else if (Is(scenario, L"stdcall-window")) {
        MakeWindow(instance, reinterpret_cast<WNDPROC>(reinterpret_cast<void*>(PoppingWindowProc)));
    } else if (Is(scenario, L"stdcall-thread")) {
        HANDLE worker = CreateThread(
            nullptr, 0,
            reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(PoppingThreadProc)),
            nullptr, 0, nullptr);
        WaitForSingleObject(worker, INFINITE);
    } else if (Is(scenario, L"write-page")) {
        *reinterpret_cast<volatile DWORD*>(HANDHELD_CURRENT_THREAD_SLOT) = 0;
    } else if (Is(scenario, L"fault")) {
        *reinterpret_cast<volatile DWORD*>(UNMAPPED_ADDRESS) = 0;
#ifdef PROBE_UNKNOWN_IMPORT
    } else if (Is(scenario, L"unknown-import")) {
        GetConsoleWindow();
#endif
    }
    return 5;
}
