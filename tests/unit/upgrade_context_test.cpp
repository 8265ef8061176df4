#include "engine/upgrade_context.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "tests/fakes/allocation_counter.h"
#include "tests/fakes/fake_os.h"
#include "tests/fakes/scoped_world.h"

namespace {

class ErrorModel : public ::testing::Test {
protected:
    void SetUp() override {
        InstallFaultLanding();
        InitContext(context);
    }
    fake::ScopedWorld world;
    UpgradeContext context;
};

TEST_F(ErrorModel, InitContextStartsARunClean) {
    context.portHandle = reinterpret_cast<HANDLE>(0x55);
    wcscpy(context.errorText, L"left over");
    context.progressPercent = 77;
    EXPECT_EQ(&InitContext(context), &context);
    EXPECT_EQ(context.portHandle, HANDLE(0));
    EXPECT_STREQ(context.errorText, L"");
    EXPECT_EQ(context.progressPercent, 0u);
}

void FailWithPortName(UpgradeContext& context) {
    wcscpy(context.portName, L"COM9:");
    UpgradeError(context, L"Couldn't open GPS receiver port (%ls)", context.portName);
}

void FailWithOverlongMessage(UpgradeContext& context) {
    static std::wstring longText(600, L'x');
    UpgradeError(context, L"%ls", longText.c_str());
}

TEST_F(ErrorModel, MessageIsFormattedAndCutToFit) {
    EXPECT_FALSE(RunCatchingUpgradeErrors(context, FailWithPortName));
    EXPECT_STREQ(context.errorText, L"Couldn't open GPS receiver port (COM9:)");

    EXPECT_FALSE(RunCatchingUpgradeErrors(context, FailWithOverlongMessage));
    EXPECT_EQ(wcsnlen(context.errorText, ERROR_TEXT_CHARS), size_t(ERROR_TEXT_CHARS - 1));
}

int g_stepsAfterInnerFailure;

void InnerFailure(UpgradeContext& context) { UpgradeError(context, L"first"); }

void SwallowThenFail(UpgradeContext& context) {
    EXPECT_FALSE(RunCatchingUpgradeErrors(context, InnerFailure));
    ++g_stepsAfterInnerFailure;
    UpgradeError(context, L"second");
}

void SwallowAndFinish(UpgradeContext& context) {
    EXPECT_FALSE(RunCatchingUpgradeErrors(context, InnerFailure));
    ++g_stepsAfterInnerFailure;
}

TEST_F(ErrorModel, NestedHandlersEachCatchTheirOwnAndTheOuterShowsTheLastMessage) {
    g_stepsAfterInnerFailure = 0;
    EXPECT_FALSE(RunCatchingUpgradeErrors(context, SwallowThenFail));
    EXPECT_EQ(g_stepsAfterInnerFailure, 1);
    EXPECT_STREQ(context.errorText, L"second");

    // A swallowed failure leaves its text, and the outer step still ends normally.
    EXPECT_TRUE(RunCatchingUpgradeErrors(context, SwallowAndFinish));
    EXPECT_EQ(g_stepsAfterInnerFailure, 2);
    EXPECT_STREQ(context.errorText, L"first");
}

TEST_F(ErrorModel, RaisingAndCatchingUsesNoHeap) {
    const long before = fake::AllocationCount();
    EXPECT_FALSE(RunCatchingUpgradeErrors(context, SwallowThenFail));
    EXPECT_EQ(fake::AllocationCount() - before, 0);

    // The count is live: the same measurement sees a single allocation.
    std::wstring* allocated = new std::wstring(L"x");
    EXPECT_GT(fake::AllocationCount() - before, 0);
    delete allocated;
}

// Exceptions raised with this argument are the test's own: a handler after the program's
// counts those that reach it and lets RaiseException return.
const ULONG_PTR TEST_MARK = 0x7E57;
int g_passedOn;
LONG CALLBACK CountPassedOn(EXCEPTION_POINTERS* fault) {
    const EXCEPTION_RECORD& record = *fault->ExceptionRecord;
    if (record.NumberParameters != 1 || record.ExceptionInformation[0] != TEST_MARK) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ++g_passedOn;
    return EXCEPTION_CONTINUE_EXECUTION;
}

template <DWORD code>
void Raise() {
    RaiseException(code, 0, 1, &TEST_MARK);
}
template <DWORD code>
void RaiseIn(UpgradeContext&) {
    Raise<code>();
}
DWORD WINAPI RaiseFault(LPVOID) {
    Raise<EXCEPTION_ACCESS_VIOLATION>();
    return 0;
}
void FaultOnAnotherThread(UpgradeContext&) {
    const HANDLE thread = CreateThread(nullptr, 0, RaiseFault, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
void IllegalInstruction(UpgradeContext&) {
    __builtin_trap();
}
// A fault in the middle of a backward copy, which runs with the direction flag set.
void FaultCopyingBackwards(UpgradeContext&) {
    asm volatile("std\n\tud2");
}
// A bad pointer handed to a system call that checks it by faulting and handling the fault:
// the call's own handler comes after the program's, and counts as one passed on to.
void BadPointerToTheSystem(UpgradeContext&) {
    if (lstrlenW(reinterpret_cast<LPCWSTR>(1)) == 0) {
        ++g_passedOn;
    }
}
// Whether the direction flag is set; it is cleared, so that a failing check spreads no
// further.
bool TakeDirectionFlag() {
    uint64_t flags;
    asm volatile("pushfq\n\tpopq %0\n\tcld" : "=r"(flags));
    return (flags & 0x400) != 0;
}

TEST_F(ErrorModel, OnlyFaultsOfTheThreadInsideAHandlerLandThere) {
    static const PVOID counter = AddVectoredExceptionHandler(FALSE, CountPassedOn);
    ASSERT_NE(counter, nullptr);
    struct Case {
        const char* name;
        void (*step)(UpgradeContext&);
        bool landed;
    };
    const Case cases[] = {
        {"a debugger's output", RaiseIn<DBG_PRINTEXCEPTION_C>, false},
        {"a C++ throw of Microsoft's", RaiseIn<0xE06D7363>, false},
        {"a fault on another thread", FaultOnAnotherThread, false},
        {"an illegal instruction", IllegalInstruction, true},
        {"a fault in a backward copy", FaultCopyingBackwards, true},
        {"an error code of the program's own, raised", RaiseIn<0xE0564E44>, true},
        {"an access violation raised outside the image", RaiseIn<EXCEPTION_ACCESS_VIOLATION>,
         false},
        {"a bad pointer handed to the system", BadPointerToTheSystem, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_passedOn = 0;
        wcscpy(context.errorText, L"as it stood");
        const long before = fake::AllocationCount();
        const bool ran = RunCatchingUpgradeErrors(context, c.step);
        EXPECT_FALSE(TakeDirectionFlag());
        EXPECT_EQ(ran, !c.landed);
        if (c.landed) {
            EXPECT_EQ(fake::AllocationCount() - before, 0);
        }
        EXPECT_EQ(g_passedOn, c.landed ? 0 : 1);
        EXPECT_STREQ(context.errorText, L"as it stood");
    }
    g_passedOn = 0;
    Raise<EXCEPTION_ACCESS_VIOLATION>();  // outside every handler
    EXPECT_EQ(g_passedOn, 1);
}

TEST_F(ErrorModel, ClosePortClosesAnOpenHandleExactlyOnce) {
    const HANDLE open = reinterpret_cast<HANDLE>(0x1234);
    struct Case {
        HANDLE before;
        int expectedCloses;
    };
    for (const Case& c : {Case{0, 0}, Case{INVALID_HANDLE_VALUE, 0}, Case{open, 1}}) {
        const fake::ScopedWorld caseWorld;
        context.portHandle = c.before;
        ClosePort(context);
        ClosePort(context);
        EXPECT_EQ(context.portHandle, HANDLE(0));
        EXPECT_EQ(fake::CloseCount(c.before), c.expectedCloses);
    }
}

void FailBeforeOpening(UpgradeContext& context) {
    UpgradeError(context, L"GPS receiver not attached");
}

TEST_F(ErrorModel, ErrorBeforeThePortOpensLeavesNothingToClose) {
    EXPECT_FALSE(RunCatchingUpgradeErrors(context, FailBeforeOpening));
    ClosePort(context);
    EXPECT_EQ(context.portHandle, HANDLE(0));
    EXPECT_EQ(fake::CloseCount(0), 0);
}

TEST_F(ErrorModel, IsCancelledFollowsTheEventWithoutChangingIt) {
    EXPECT_FALSE(IsCancelled());
    SetEvent(g_hCancelEvent);
    EXPECT_TRUE(IsCancelled());
    EXPECT_TRUE(IsCancelled());  // manual reset: polling does not consume it
    ResetEvent(g_hCancelEvent);
    EXPECT_FALSE(IsCancelled());
}

}  // namespace
