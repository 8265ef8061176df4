// CreateThread (Windows CE 5.0 reference, "CreateThread"): the handheld ignores the security
// attributes and the stack size, and calls the thread procedure as __cdecl. The stand-in
// starts a thread procedure of its own, which calls the program's through
// CallCdeclProcedure and ends the thread with what it returned.
#include <windows.h>

#include "sim/handheld-x86/handheld_export.h"
#include "sim/handheld-x86/program_call.h"

namespace {

const char THREAD_PROCEDURE[] = "the thread procedure";

// What the stand-in's procedure calls; it frees the record before the call.
struct ThreadStart {
    const void* procedure;
    void* parameter;
};

DWORD WINAPI StartProgramThread(void* record) {
    const ThreadStart start = *static_cast<ThreadStart*>(record);
    HeapFree(GetProcessHeap(), 0, record);
    const DWORD argument = reinterpret_cast<ULONG_PTR>(start.parameter);
    return CallCdeclProcedure(start.procedure, &argument, 1, THREAD_PROCEDURE);
}

}  // namespace

extern "C" HANDLE __cdecl Handheld_CreateThread(SECURITY_ATTRIBUTES*, DWORD, const void* procedure,
                                                void* parameter, DWORD flags, DWORD* threadId) {
    ThreadStart* record =
        static_cast<ThreadStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart)));
    if (record == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    *record = {procedure, parameter};
    HANDLE thread = CreateThread(nullptr, 0, StartProgramThread, record, flags, threadId);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, record);
        SetLastError(error);
    }
    return thread;
}
HANDHELD_EXPORT(CreateThread);
