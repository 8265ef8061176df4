// Ends the test program with a message if the code under test has not finished within a
// time limit: a thread that waits for ever (both of the program's threads, say) cannot
// report that itself. Disarmed when it goes out of scope.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace fake {

class Watchdog {
public:
    Watchdog(DWORD limitMs, std::string message) : limitMs_(limitMs), message_(std::move(message)) {
        disarmed_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
    }
    ~Watchdog() {
        SetEvent(disarmed_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(disarmed_);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static DWORD WINAPI Watch(LPVOID self) {
        Watchdog* dog = static_cast<Watchdog*>(self);
        if (WaitForSingleObject(dog->disarmed_, dog->limitMs_) == WAIT_TIMEOUT) {
            fprintf(stderr, "%s\n", dog->message_.c_str());
            fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        return 0;
    }

    DWORD limitMs_;
    std::string message_;
    HANDLE disarmed_;
    HANDLE thread_;
};

}  // namespace fake
