#include "sim/handheld-x86/kernel_data_page.h"

#include <cstring>

#include "sim/handheld-x86/last_line.h"

namespace {

// The page that holds the kernel's data, and the running thread's id in it.
constexpr ULONG_PTR DATA_PAGE_START = 0x5000;
constexpr ULONG_PTR DATA_PAGE_END = 0x6000;
constexpr DWORD CURRENT_THREAD_SLOT = 0x5808;

// The loads that read a 32-bit word from an absolute address ("MOV", Intel 64 and IA-32
// Architectures Software Developer's Manual, volume 2): A1 disp32 into EAX, and 8B /r with
// a ModR/M byte of mod 00 and r/m 101 (a displacement alone) into the register its reg
// field names (EAX, ECX, EDX, EBX, ESP, EBP, ESI, EDI, in that order).
constexpr BYTE MOV_EAX_FROM_ADDRESS = 0xA1;
constexpr DWORD MOV_EAX_LENGTH = 5;
constexpr BYTE MOV_REGISTER_FROM_MEMORY = 0x8B;
constexpr BYTE MODRM_ABSOLUTE_MASK = 0xC7;  // the mod and r/m fields
constexpr BYTE MODRM_ABSOLUTE = 0x05;       // mod 00, r/m 101
constexpr int MODRM_REG_SHIFT = 3;
constexpr BYTE MODRM_REG_MASK = 0x07;
constexpr DWORD MOV_REGISTER_LENGTH = 6;

// EXCEPTION_RECORD (Win32 reference, winnt.h): for an access violation, the first word of
// its information says how the address was used, the second is the address.
constexpr ULONG_PTR ACCESS_READ = 0;
constexpr ULONG_PTR ACCESS_WRITE = 1;

const BYTE* g_imageStart;
const BYTE* g_imageEnd;

bool InImage(const BYTE* at, DWORD length) {
    return at >= g_imageStart && at <= g_imageEnd - length;
}

DWORD Displacement(const BYTE* at) {
    DWORD value;
    memcpy(&value, at, sizeof value);
    return value;
}

// The register that the instruction at at loads from the thread's slot, and its length;
// null when it is no such load in the program's image.
DWORD* SlotLoadTarget(const BYTE* at, CONTEXT& context, DWORD& length) {
    if (InImage(at, MOV_EAX_LENGTH) && at[0] == MOV_EAX_FROM_ADDRESS &&
        Displacement(at + 1) == CURRENT_THREAD_SLOT) {
        length = MOV_EAX_LENGTH;
        return &context.Eax;
    }
    if (InImage(at, MOV_REGISTER_LENGTH) && at[0] == MOV_REGISTER_FROM_MEMORY &&
        (at[1] & MODRM_ABSOLUTE_MASK) == MODRM_ABSOLUTE &&
        Displacement(at + 2) == CURRENT_THREAD_SLOT) {
        DWORD* const registers[] = {&context.Eax, &context.Ecx, &context.Edx, &context.Ebx,
                                    &context.Esp, &context.Ebp, &context.Esi, &context.Edi};
        length = MOV_REGISTER_LENGTH;
        return registers[(at[1] >> MODRM_REG_SHIFT) & MODRM_REG_MASK];
    }
    return nullptr;
}

const char* AccessVerb(ULONG_PTR access) {
    switch (access) {
        case ACCESS_READ:
            return "reads";
        case ACCESS_WRITE:
            return "writes";
        default:
            return "executes";
    }
}

LONG CALLBACK OnDataPageFault(EXCEPTION_POINTERS* fault) {
    const EXCEPTION_RECORD& record = *fault->ExceptionRecord;
    if (record.ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record.NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const ULONG_PTR access = record.ExceptionInformation[0];
    const ULONG_PTR address = record.ExceptionInformation[1];
    if (address < DATA_PAGE_START || address >= DATA_PAGE_END) {
        return EXCEPTION_CONTINUE_SEARCH;  // not the page: the program's own fault
    }
    const BYTE* at = static_cast<const BYTE*>(record.ExceptionAddress);
    CONTEXT& context = *fault->ContextRecord;
    DWORD length = 0;
    DWORD* target = access == ACCESS_READ ? SlotLoadTarget(at, context, length) : nullptr;
    if (target == nullptr) {
        EndWithLine(PROGRAM_REFUSED_EXIT_CODE,
                    "the instruction at 0x%08lx %s the kernel's data page at 0x%08lx; of that "
                    "page the stand-in models only a load of the thread's id at 0x%04lx by a MOV "
                    "in the program",
                    static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(at)), AccessVerb(access),
                    static_cast<unsigned long>(address),
                    static_cast<unsigned long>(CURRENT_THREAD_SLOT));
    }
    *target = GetCurrentThreadId();  // the handler runs on the thread that faulted
    context.Eip += length;
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void WatchKernelDataPage(const BYTE* imageStart, DWORD imageSize) {
    g_imageStart = imageStart;
    g_imageEnd = imageStart + imageSize;
    // First in line: the page's faults are the kernel's business, before any handler of
    // the program's sees them.
    AddVectoredExceptionHandler(TRUE, OnDataPageFault);
}
