// receiver-sim: serves the simulated receiver on a serial port in real time, for the
// end-to-end tests and the demo. It runs one update, then prints what the receiver saw
// and whether the ROM it was sent equals the image it was given. Exit code 0 after a run
// (whatever its verdict), 1 when a file or the port cannot be opened, 2 on bad usage.
//
// With --restart-file the receiver stays powered as a real one does: a run that stopped
// halfway leaves it in its loader, whatever the host sends next, until the file appears
// (its sleeve powered off and on); it then reports what it saw since it last started and
// starts afresh from its boot code.
#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "sim/receiver_model.h"

namespace {

constexpr DWORD DEFAULT_TIMEOUT_MS = 60000;
constexpr DWORD IDLE_SLEEP_MS = 1;      // a pause while neither side has anything to move
constexpr DWORD RESTART_LOOK_MS = 100;  // how often the restart file is looked for
constexpr DWORD IO_BYTES = 4096;        // most bytes moved per turn in each direction

const char USAGE[] =
    "usage: receiver-sim COMn: [options]\n"
    "  --loader FILE          loader the receiver expects (default res/loader.bin)\n"
    "  --rom FILE             ROM image it expects (default res/rom-2.3.7.bin)\n"
    "  --no-handshake         never answer the loader with 'Y'\n"
    "  --handshake-delay MS   send the handshake MS after the loader\n"
    "  --handshake-noise MS   a noise byte every MS until the handshake\n"
    "  --noise N[:BYTE]       N noise bytes (default 0x00) before every answer\n"
    "  --erase-ms MS          the erase takes MS\n"
    "  --silent-erase         never send 'E'\n"
    "  --erase-noise MS       a noise byte every MS while erasing\n"
    "  --nak CHUNK[:TIMES]    answer chunk CHUNK 'N' TIMES times (default 1)\n"
    "  --flip CHUNK[:TIMES]   flip a bit in TIMES receptions of chunk CHUNK (default 1)\n"
    "  --end-answer C         answer the end marker with C (a character or 0xNN)\n"
    "  --stop-after CHUNKS    hang once CHUNKS chunks are accepted\n"
    "  --pace                 move bytes no faster than the line would\n"
    "  --summary FILE         also write the summary to FILE\n"
    "  --timeout-ms MS        give up after the host is silent MS (default 60000)\n"
    "  --restart-file FILE    stay in the loader after a stopped run until FILE appears,\n"
    "                         then start afresh (the host's silence ends only a receiver\n"
    "                         that has been sent nothing since it started)\n";

struct Options {
    const char* port = nullptr;
    const char* loaderPath = "res/loader.bin";
    const char* romPath = "res/rom-2.3.7.bin";
    const char* summaryPath = nullptr;
    const char* restartPath = nullptr;
    uint32_t timeoutMs = DEFAULT_TIMEOUT_MS;
    ReceiverScenario scenario;
};

// "N" or "N:M"; second keeps its value when ":M" is absent.
bool ParseNumbers(const char* text, uint32_t* first, uint32_t* second) {
    char* end;
    *first = static_cast<uint32_t>(strtoul(text, &end, 0));
    if (end == text) {
        return false;
    }
    if (*end == ':' && second != nullptr) {
        text = end + 1;
        *second = static_cast<uint32_t>(strtoul(text, &end, 0));
        if (end == text) {
            return false;
        }
    }
    return *end == '\0';
}

bool ParseByte(const char* text, uint8_t* value) {
    uint32_t number;
    if (text[0] != '\0' && text[1] == '\0') {
        *value = static_cast<uint8_t>(text[0]);
        return true;
    }
    if (!ParseNumbers(text, &number, nullptr) || number > 0xFF) {
        return false;
    }
    *value = static_cast<uint8_t>(number);
    return true;
}

bool SetChunkTimes(const char* text, uint8_t* times) {
    uint32_t chunk, count = 1;
    if (!ParseNumbers(text, &chunk, &count) || chunk >= SCENARIO_CHUNKS || count > 0xFF) {
        return false;
    }
    times[chunk] = static_cast<uint8_t>(count);
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    ReceiverScenario& s = options->scenario;
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        bool tookValue = value != nullptr;
        uint32_t number = 0;
        if (option[0] != '-') {
            ok = options->port == nullptr;
            options->port = option;
            tookValue = false;
        } else if (strcmp(option, "--no-handshake") == 0) {
            s.handshake = false;
            tookValue = false;
        } else if (strcmp(option, "--silent-erase") == 0) {
            s.silentErase = true;
            tookValue = false;
        } else if (strcmp(option, "--pace") == 0) {
            s.paced = true;
            tookValue = false;
        } else if (value == nullptr) {
            ok = false;
        } else if (strcmp(option, "--loader") == 0) {
            options->loaderPath = value;
        } else if (strcmp(option, "--rom") == 0) {
            options->romPath = value;
        } else if (strcmp(option, "--summary") == 0) {
            options->summaryPath = value;
        } else if (strcmp(option, "--restart-file") == 0) {
            options->restartPath = value;
        } else if (strcmp(option, "--handshake-delay") == 0) {
            ok = ParseNumbers(value, &s.handshakeDelayMs, nullptr);
        } else if (strcmp(option, "--handshake-noise") == 0) {
            ok = ParseNumbers(value, &s.handshakeNoiseEveryMs, nullptr);
        } else if (strcmp(option, "--noise") == 0) {
            uint32_t noiseValue = s.noiseValue;
            ok = ParseNumbers(value, &s.noiseCount, &noiseValue) && noiseValue <= 0xFF;
            s.noiseValue = static_cast<uint8_t>(noiseValue);
        } else if (strcmp(option, "--erase-ms") == 0) {
            ok = ParseNumbers(value, &s.eraseMs, nullptr);
        } else if (strcmp(option, "--erase-noise") == 0) {
            ok = ParseNumbers(value, &s.eraseNoiseEveryMs, nullptr);
        } else if (strcmp(option, "--nak") == 0) {
            ok = SetChunkTimes(value, s.nakTimes);
        } else if (strcmp(option, "--flip") == 0) {
            ok = SetChunkTimes(value, s.flipTimes);
        } else if (strcmp(option, "--end-answer") == 0) {
            ok = ParseByte(value, &s.endAnswer);
        } else if (strcmp(option, "--stop-after") == 0) {
            ok = ParseNumbers(value, &s.stopAfterChunks, nullptr);
        } else if (strcmp(option, "--timeout-ms") == 0) {
            ok = ParseNumbers(value, &number, nullptr);
            options->timeoutMs = number;
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "receiver-sim: bad argument %s\n", option);
            return false;
        }
        if (tookValue) {
            ++i;
        }
    }
    return options->port != nullptr;
}

bool LoadFile(const char* path, std::vector<uint8_t>* bytes) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        fprintf(stderr, "receiver-sim: cannot open %s\n", path);
        return false;
    }
    uint8_t buffer[IO_BYTES];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes->insert(bytes->end(), buffer, buffer + got);
    }
    fclose(file);
    return true;
}

HANDLE OpenPort(const char* name) {
    HANDLE port =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "receiver-sim: cannot open %s\n", name);
        return port;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = LOADER_BAUD;  // a pty ignores it; a real UART would need the switch
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // A read returns at once with what is queued; a write waits until it is done.
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts)) {
        fprintf(stderr, "receiver-sim: cannot configure %s\n", name);
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

// Milliseconds of the performance counter. Other programs on the machine read the same
// counter, so the line times in the summary can be set beside the times they took.
uint64_t CounterMs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(count.QuadPart / (frequency.QuadPart / 1000));
}

// True, once, when the restart file has appeared; it is removed.
bool TakeRestart(const Options& options) {
    return options.restartPath != nullptr &&
           GetFileAttributesA(options.restartPath) != INVALID_FILE_ATTRIBUTES &&
           DeleteFileA(options.restartPath);
}

enum class SessionEnd { FINISHED, SILENCE, RESTART };

// Moves bytes between the port and the model until the end marker has been answered, the
// host has been silent for the time-out (with a restart file: only while nothing has been
// sent to the receiver) or the receiver is restarted. On a pty the host's line speed
// cannot be seen, so the host is taken to talk at whatever speed the receiver is at. The
// model's time line starts (within a millisecond) at *startedMs, in counter ms.
SessionEnd Serve(HANDLE port, ReceiverModel& model, const Options& options, uint64_t* startedMs) {
    *startedMs = CounterMs();
    DWORD lastHeard = 0;
    DWORD lastRestartLook = 0;
    DWORD lastCredit = 0;
    uint64_t creditMilliBytes = 0;  // paced: what the line could have carried by now
    uint8_t input[IO_BYTES];
    uint8_t output[IO_BYTES];
    while (!model.Finished()) {
        const DWORD now = static_cast<DWORD>(CounterMs() - *startedMs);
        if (now - lastRestartLook >= RESTART_LOOK_MS) {
            lastRestartLook = now;
            if (TakeRestart(options)) {
                return SessionEnd::RESTART;
            }
        }
        DWORD wanted = 0;
        DWORD errors;
        COMSTAT status;
        if (ClearCommError(port, &errors, &status)) {
            wanted = status.cbInQue < IO_BYTES ? status.cbInQue : IO_BYTES;
        }
        if (options.scenario.paced) {
            // 10 bit times per byte: speed / 10 bytes a second, speed / 10 thousandths a ms.
            creditMilliBytes += uint64_t(now - lastCredit) * model.LineSpeed() / 10;
            if (creditMilliBytes > IO_BYTES * 1000ull) {
                creditMilliBytes = IO_BYTES * 1000ull;
            }
            lastCredit = now;
            if (wanted > creditMilliBytes / 1000) {
                wanted = static_cast<DWORD>(creditMilliBytes / 1000);
            }
        }
        DWORD got = 0;
        if (wanted > 0 && ReadFile(port, input, wanted, &got, nullptr) && got > 0) {
            if (options.scenario.paced) {
                creditMilliBytes -= got * 1000ull;
            }
            for (DWORD i = 0; i < got; ++i) {
                model.HostBytes(&input[i], 1, model.LineSpeed(), now);
            }
            lastHeard = now;
        }
        DWORD ready = 0;
        while (ready < IO_BYTES && model.NextByte(now, model.LineSpeed(), &output[ready])) {
            ++ready;
        }
        for (DWORD sent = 0, written; sent < ready; sent += written) {
            if (!WriteFile(port, output + sent, ready - sent, &written, nullptr)) {
                break;
            }
        }
        const bool staysInLoader =
            options.restartPath != nullptr && model.Summary().bytesReceived > 0;
        if (now - lastHeard > options.timeoutMs && !staysInLoader) {
            return SessionEnd::SILENCE;
        }
        if (got == 0 && ready == 0) {
            Sleep(IDLE_SLEEP_MS);
        }
    }
    return SessionEnd::FINISHED;
}

void PrintSummary(FILE* out, const ReceiverModel& model, uint32_t romSize, uint64_t lineStartMs) {
    const ReceiverSummary& s = model.Summary();
    fprintf(out, "bytes received: %u\n", s.bytesReceived);
    fprintf(out, "bytes out of turn: %u\n", s.bytesOutOfTurn);
    fprintf(out, "loader: %s\n", s.loaderIntact ? "intact" : "not received intact");
    fprintf(out, "chunks received: %u\n", s.chunksReceived);
    fprintf(out, "chunks accepted: %u\n", s.chunksAccepted);
    fprintf(out, "resends: %u\n", s.naks);
    fprintf(out, "chunk offsets:");
    for (uint32_t i = 0; i < s.chunksReceived && i < RECORDED_CHUNKS; ++i) {
        fprintf(out, " %u", s.chunkOffsets[i]);
    }
    fprintf(out, "\n");
    fprintf(out, "end marker: %s\n", s.endMarkerSeen ? "seen" : "not seen");
    fprintf(out, "rom bytes: %u of %u\n", s.romBytes, romSize);
    fprintf(out, "bytes sent: %u\n", s.bytesSent);
    fprintf(out, "bytes before the loader: %u\n", s.bytesBeforeLoader);
    // In microseconds of the performance counter.
    const uint64_t lineStartUs = lineStartMs * 1000;
    fprintf(out, "loader began at: %" PRIu64 " us\n", lineStartUs + s.loaderStartNs / 1000);
    fprintf(out, "last host byte at: %" PRIu64 " us\n", lineStartUs + s.lastHostByteNs / 1000);
    fprintf(out, "last receiver byte at: %" PRIu64 " us\n",
            lineStartUs + s.lastReceiverByteNs / 1000);
    fprintf(out, "VERDICT: %s\n", s.romIdentical ? "ROM identical" : "ROM differs");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fputs(USAGE, stderr);
        return 2;
    }
    std::vector<uint8_t> loader, rom;
    if (!LoadFile(options.loaderPath, &loader) || !LoadFile(options.romPath, &rom)) {
        return 1;
    }
    HANDLE port = OpenPort(options.port);
    if (port == INVALID_HANDLE_VALUE) {
        return 1;
    }
    const uint32_t romSize = static_cast<uint32_t>(rom.size());
    // Each start of the receiver is a session with a summary of its own; a session in which
    // the host sent nothing is not worth one, once another has been given.
    bool reported = false;
    for (;;) {
        auto model = std::make_unique<ReceiverModel>(options.scenario, loader.data(),
                                                     static_cast<uint32_t>(loader.size()),
                                                     rom.data(), romSize);
        uint64_t lineStartMs;
        const SessionEnd end = Serve(port, *model, options, &lineStartMs);
        if (!reported || model->Summary().bytesReceived > 0) {
            reported = true;
            PrintSummary(stdout, *model, romSize, lineStartMs);
            fflush(stdout);
            if (options.summaryPath != nullptr) {
                FILE* file = fopen(options.summaryPath, "w");
                if (file == nullptr) {
                    fprintf(stderr, "receiver-sim: cannot write %s\n", options.summaryPath);
                    CloseHandle(port);
                    return 1;
                }
                PrintSummary(file, *model, romSize, lineStartMs);
                fclose(file);
            }
        }
        if (end != SessionEnd::RESTART) {
            break;
        }
        // Off and on: what the line held is lost, and the boot code starts afresh.
        PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
        printf("receiver restarted\n");
        fflush(stdout);
    }
    CloseHandle(port);
    return 0;
}
