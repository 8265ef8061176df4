// Random fault scenarios for whole update runs, and how each must end.
//
// A scenario is drawn from one seed: the registry the receiver is listed in, how the
// serial port and the sleeve's driver misbehave, how the simulated receiver behaves, where
// the tick count starts, and whether (at which port call) the user cancels. The ending it
// calls for is worked out here from the scenario alone, from the rules of the link and the
// protocol: the order in which the host writes, the limits it keeps, the answers it waits
// for. Nothing here runs or imitates the program's code.
//
// Times that the rules compare with a limit are drawn clear of it, by more than the
// granularity with which a run observes time (a read attempt is 20 virtual milliseconds),
// so that the ending does not hang on where exactly within an attempt a limit passes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "sim/receiver_scenario.h"
#include "tests/fakes/fake_os.h"
#include "tests/fakes/payload_files.h"
#include "tests/fakes/registry_tree.h"
#include "tests/fakes/seeded_random.h"

namespace campaign {

using fake::CHUNK_DATA_BYTES;

// The ways a run can end, as its status line tells them; and a run that would wait for
// the user for ever (a receiver that erases in silence), which only cancellation ends.
enum class Ending : uint8_t {
    COMPLETED,
    CANCELLED,
    UPDATE_NOT_SUPPORTED,
    NOT_ATTACHED,
    COMPACT_FLASH,
    OPEN_FAILED,
    PORT_SETTINGS,
    PORT_TIMEOUTS,
    OLD_DRIVER,
    WRITE_TIMEOUT,
    WRITE_ERROR,
    READ_TIMEOUT,
    ERASE_TIMEOUT,
    WAITS_FOR_CANCEL,
    FAULT,  // a fault with no upgrade error before it: an empty status line
    COUNT,
};

inline const char* EndingName(Ending ending) {
    static const char* const NAMES[] = {
        "completed",      "cancelled",          "update not supported", "not attached",
        "CompactFlash",   "port does not open", "port parameters",      "port timeouts",
        "driver too old", "write timeout",      "write error",          "read timeout",
        "erase timeout",  "waits for cancel",   "fault",                "an unknown status",
    };
    return NAMES[static_cast<int>(ending)];
}

// The status line a run that ends this way leaves.
inline std::wstring StatusLine(Ending ending, const std::wstring& registeredName) {
    switch (ending) {
        case Ending::COMPLETED:
            return L"Completed successfully";
        case Ending::CANCELLED:
            return L"Cancelled";
        case Ending::UPDATE_NOT_SUPPORTED:
            return L"GPS update not supported";
        case Ending::NOT_ATTACHED:
            return L"GPS receiver not attached";
        case Ending::COMPACT_FLASH:
            return L"Vandrel cannot be used with CompactFlash GPS receivers";
        case Ending::OPEN_FAILED:
            return L"Couldn't open GPS receiver port (" + registeredName + L")";
        case Ending::PORT_SETTINGS:
            return L"Error setting port parameters";
        case Ending::PORT_TIMEOUTS:
            return L"Error setting GPS receiver timeouts";
        case Ending::OLD_DRIVER:
            return L"Error: driver 3.1.3 or later required";
        case Ending::WRITE_TIMEOUT:
            return L"Error (write timeout): please check sleeve";
        case Ending::WRITE_ERROR:
            return L"Error (write error): please check sleeve";
        case Ending::READ_TIMEOUT:
            return L"Error (read timeout): please check sleeve";
        case Ending::ERASE_TIMEOUT:
            return L"Timeout on erase operation";
        case Ending::FAULT:
            return L"";
        default:
            return L"(no status: the run waits for the user)";
    }
}

// --- The link and protocol as the host drives them ---------------------------------------

constexpr uint32_t LINK_LIMIT_MS = 5000;    // one whole write call, one timed read
constexpr uint32_t ERASE_LIMIT_MS = 30000;  // from the go-ahead, tested on a byte other than 'E'
constexpr uint32_t LOADER_BYTES = 1284;
constexpr uint32_t ROM_BYTES = 293736;
constexpr uint32_t CHUNKS = (ROM_BYTES + CHUNK_DATA_BYTES - 1) / CHUNK_DATA_BYTES;
constexpr uint32_t PORT_NAME_BYTES = 64;  // 32 characters with the terminator
constexpr uint32_t SPEED_MESSAGE_BYTES = 2;
constexpr uint32_t LENGTH_BYTES = 4;
constexpr uint32_t CRC_BYTES = 2;

// Handshake delays (after the loader stream) drawn on either side of the 5,000 ms limit
// with room for the line's own time: the paced loader still crossing the wire (1,292
// bytes at 115,200 bit/s, 113 ms) and the read attempts.
constexpr uint32_t HANDSHAKE_IN_TIME_MS = 4800;
constexpr uint32_t HANDSHAKE_TOO_LATE_MS = 5100;
// The last byte other than 'E' during an erase is drawn at least this far from the erase
// limit.
constexpr uint32_t ERASE_LIMIT_MARGIN_MS = 100;

// The slowest write attempt drawn.
constexpr uint32_t SLOWEST_WRITE_ATTEMPT_MS = 3000;

// Where cancellation stops a run whose scenario draws none: far past any run that ends by
// itself, within the fake's room for records.
constexpr uint32_t RUNAWAY_CALLS = 200000;

struct FaultScenario {
    uint64_t seed = 0;
    fake::RegistryTree registry;
    std::wstring portName;  // the one serial port that opens
    ReceiverScenario receiver;
    fake::PortBehaviour port;  // its cancelAtCall is the moment of cancellation
    uint32_t startTick = 0;
    bool cancels = false;  // else cancelAtCall is RUNAWAY_CALLS
    fake::FaultInjection fault;  // only in runs that are not cancelled
};

// How a run ends that faults at a port call it makes: in the handshake wait as when the
// receiver never answers, elsewhere with the last upgrade error's text. No upgrade error
// comes before a port call of the run but the one the handshake wait swallows, and after
// that the run only closes the port.
inline Ending WhenFaulted(bool inHandshakeWait) {
    return inHandshakeWait ? Ending::UPDATE_NOT_SUPPORTED : Ending::FAULT;
}

// How the run must end if nobody cancels it, and what it looks like from the port.
struct Expectation {
    Ending ending = Ending::COMPLETED;
    std::wstring registeredName;  // "Name" of the receiver the walk finds
    bool opensPort = false;       // the port is opened (and so must be closed once)
    bool sendsLoader = false;     // the whole loader stream reaches the receiver
    uint32_t resends = 0;         // chunks sent again after an 'N' (completed runs)
};

// Whether a run that ends this way raised the error from inside the steps after the port
// was configured: cancellation signalled before the failing moment then wins.
inline bool RaisedAfterConfiguring(Ending ending) {
    switch (ending) {
        case Ending::OLD_DRIVER:
        case Ending::WRITE_TIMEOUT:
        case Ending::WRITE_ERROR:
        case Ending::READ_TIMEOUT:
        case Ending::ERASE_TIMEOUT:
            return true;
        default:
            return false;
    }
}

// The host's writes in order, as the port takes them: each write call goes out in
// attempts of at most maxBytesPerWrite bytes, each taking msPerWrite; the call fails when
// an attempt would carry the failing byte, and times out when an attempt is due more than
// LINK_LIMIT_MS after the call began.
class HostWrites {
public:
    explicit HostWrites(const fake::PortBehaviour& port) : port_(port) {}

    // False, with the ending, when this write call ends the run.
    bool Write(uint32_t count, Ending* ending) {
        const uint32_t perAttempt = port_.maxBytesPerWrite;
        if (perAttempt == 0) {
            *ending = Ending::WRITE_TIMEOUT;  // a port that takes nothing, ever
            return false;
        }
        const uint64_t attempts = (uint64_t{count} + perAttempt - 1) / perAttempt;
        const uint64_t lateAttempt =
            port_.msPerWrite == 0 ? UINT64_MAX : LINK_LIMIT_MS / port_.msPerWrite + 1;
        uint64_t failingAttempt = UINT64_MAX;
        if (port_.failWriteAtByte >= written_ && port_.failWriteAtByte - written_ < count) {
            failingAttempt = (port_.failWriteAtByte - written_) / perAttempt;
        }
        if (failingAttempt < lateAttempt) {
            *ending = Ending::WRITE_ERROR;
            return false;
        }
        if (lateAttempt < attempts) {
            *ending = Ending::WRITE_TIMEOUT;
            return false;
        }
        written_ += count;
        return true;
    }

private:
    const fake::PortBehaviour& port_;
    uint32_t written_ = 0;
};

// The last time, after the go-ahead, at which the receiver sends a byte other than 'E'
// before its 'E'; false when it sends none. Erase noise comes every eraseNoiseEveryMs
// while the erase lasts, answer noise just before the 'E'.
inline bool LastEraseNoise(const ReceiverScenario& receiver, uint32_t* atMs) {
    bool any = false;
    *atMs = 0;
    if (receiver.eraseNoiseEveryMs > 0 && receiver.eraseNoiseEveryMs < receiver.eraseMs) {
        any = true;
        *atMs = (receiver.eraseMs - 1) / receiver.eraseNoiseEveryMs * receiver.eraseNoiseEveryMs;
    }
    if (receiver.noiseCount > 0) {
        any = true;
        *atMs = receiver.eraseMs;
    }
    return any;
}

inline Expectation Expect(const FaultScenario& s) {
    Expectation e;
    const fake::WalkResult walk = fake::ReferenceWalk(s.registry, PORT_NAME_BYTES);
    e.registeredName = walk.portName;
    if (!walk.found) {
        e.ending = Ending::NOT_ATTACHED;
        return e;
    }
    if (walk.isCompactFlash) {
        e.ending = Ending::COMPACT_FLASH;
        return e;
    }
    if (walk.portName != s.portName) {
        e.ending = Ending::OPEN_FAILED;
        return e;
    }
    e.opensPort = true;
    if (s.port.setCommStateFails) {
        e.ending = Ending::PORT_SETTINGS;
        return e;
    }
    if (s.port.setCommTimeoutsFails) {
        e.ending = Ending::PORT_TIMEOUTS;
        return e;
    }
    if (s.port.refusesSpeedSwitch) {
        e.ending = Ending::OLD_DRIVER;
        return e;
    }

    HostWrites host(s.port);
    const ReceiverScenario& r = s.receiver;
    // The speed switch, then the loader in one length frame and the end of the stream.
    const uint32_t switchAndLoader[] = {SPEED_MESSAGE_BYTES, SPEED_MESSAGE_BYTES, LENGTH_BYTES,
                                        LOADER_BYTES, LENGTH_BYTES};
    for (uint32_t count : switchAndLoader) {
        if (!host.Write(count, &e.ending)) {
            return e;
        }
    }
    e.sendsLoader = true;
    if (!r.handshake || r.handshakeDelayMs >= HANDSHAKE_TOO_LATE_MS) {
        e.ending = Ending::UPDATE_NOT_SUPPORTED;
        return e;
    }
    if (!host.Write(1, &e.ending)) {  // the go-ahead
        return e;
    }
    uint32_t lastNoiseMs;
    if (r.silentErase) {
        // No 'E' ever: erase noise runs into the limit, silence waits for the user.
        e.ending = r.eraseNoiseEveryMs > 0 ? Ending::ERASE_TIMEOUT : Ending::WAITS_FOR_CANCEL;
        return e;
    }
    if (LastEraseNoise(r, &lastNoiseMs) && lastNoiseMs > ERASE_LIMIT_MS) {
        e.ending = Ending::ERASE_TIMEOUT;
        return e;
    }

    for (uint32_t chunk = 0; chunk < CHUNKS; ++chunk) {
        const uint32_t n = std::min(CHUNK_DATA_BYTES, ROM_BYTES - chunk * CHUNK_DATA_BYTES);
        // Each reception answered 'N' or damaged on the line is sent again.
        const uint32_t refused = std::max(r.nakTimes[chunk], r.flipTimes[chunk]);
        for (uint32_t reception = 0; reception <= refused; ++reception) {
            const uint32_t frame[] = {LENGTH_BYTES, n, CRC_BYTES};
            for (uint32_t count : frame) {
                if (!host.Write(count, &e.ending)) {
                    return e;
                }
            }
            if (chunk >= r.stopAfterChunks) {
                e.ending = Ending::READ_TIMEOUT;  // the receiver hangs: no answer
                return e;
            }
        }
        e.resends += refused;
    }
    if (!host.Write(LENGTH_BYTES, &e.ending)) {  // the end marker
        return e;
    }
    const bool answered = r.endAnswer == 'Y' || r.endAnswer == 'N';
    e.ending = CHUNKS >= r.stopAfterChunks || !answered ? Ending::READ_TIMEOUT : Ending::COMPLETED;
    return e;
}

// --- Drawing scenarios ---------------------------------------------------------------------

namespace draw {

// An instance that the walk passes over: no receiver in it, and its name enumerates.
inline fake::RegistryInstance PassedOver(fake::SeededRandom& random, const std::wstring& port) {
    for (;;) {
        fake::RegistryTree alone;
        alone.instances.push_back(fake::RandomInstance(random, port));
        if (alone.instances[0].name.size() < fake::registry_walk::NAME_LIMIT_CHARS &&
            !fake::ReferenceWalk(alone, PORT_NAME_BYTES).found) {
            return alone.instances[0];
        }
    }
}

// The sleeve's instance with its values stored in any of the ways the walk accepts, naming
// the given port.
inline fake::RegistryInstance SleeveOn(fake::SeededRandom& random, const std::wstring& port) {
    for (;;) {
        fake::RegistryTree alone;
        alone.instances.push_back(fake::RandomInstance(random, port));
        const fake::WalkResult walk = fake::ReferenceWalk(alone, PORT_NAME_BYTES);
        if (walk.found && !walk.isCompactFlash && walk.portName == port) {
            return alone.instances[0];
        }
    }
}

inline std::wstring PortName(fake::SeededRandom& random) {
    switch (random.Below(6)) {
        case 0:
            return L"COM1:";
        case 1:
            return L"GPS0:";
        case 2:
            return fake::registry_draw::RandomText(random, random.Between(1, 31));
        default:
            return L"COM5:";
    }
}

// Mostly the sleeve behind instances that the walk passes over, so that most runs get to
// the receiver; sometimes a sleeve that names a port that is not there; sometimes any
// tree at all.
inline fake::RegistryTree Registry(fake::SeededRandom& random, const std::wstring& port) {
    const uint32_t kind = random.Below(100);
    if (kind >= 85) {
        return fake::RandomRegistryTree(random, port, 6);
    }
    fake::RegistryTree tree;
    for (uint32_t i = random.Chance(1, 2) ? random.Below(4) : 0; i > 0;) {
        i -= fake::AddInstance(tree, PassedOver(random, port));
    }
    std::wstring registered = port;
    if (kind >= 80) {
        do {
            registered = fake::registry_draw::RandomText(random, random.Below(32));
        } while (registered == port);
    }
    while (!fake::AddInstance(tree, SleeveOn(random, registered))) {
    }
    for (uint32_t i = random.Below(3); i > 0; --i) {
        fake::AddInstance(tree, fake::RandomInstance(random, port));  // never looked at
    }
    return tree;
}

inline void Port(fake::SeededRandom& random, fake::PortBehaviour& port) {
    port.getCommStateFails = random.Chance(1, 20);
    port.setCommStateFails = random.Chance(1, 60);
    port.setCommTimeoutsFails = random.Chance(1, 60);
    port.refusesSpeedSwitch = random.Chance(1, 40);
    if (random.Chance(3, 10)) {
        // Small parts are rarer: each attempt costs the campaign a port call.
        const uint32_t kind = random.Below(10);
        port.maxBytesPerWrite = kind < 2   ? random.Between(32, 512)
                                : kind < 6 ? random.Between(513, 4096)
                                           : random.Between(4097, 20000);
    }
    if (random.Chance(1, 4)) {
        port.msPerWrite = random.Chance(9, 10) ? random.Between(1, 40)
                                               : random.Between(41, SLOWEST_WRITE_ATTEMPT_MS);
    }
    if (random.Chance(1, 50)) {
        port.maxBytesPerWrite = 0;  // stalls
        port.msPerWrite = random.Between(1, 500);
    }
    if (random.Chance(1, 12)) {
        port.failWriteAtByte = random.Below(310000);
    }
}

// Noise before every answer, in three runs of ten: mostly a few bytes, now and then up to the
// longest run, and in a third of the cases a byte that means something to the host.
inline void AnswerNoise(fake::SeededRandom& random, ReceiverScenario& r) {
    if (random.Chance(3, 10)) {
        r.noiseCount =
            random.Chance(4, 5) ? random.Between(1, 8) : random.Between(9, MAX_NOISE_BYTES);
        const uint8_t meaningful[] = {'Y', 'N', 'E', 0x00, 0x53};
        r.noiseValue = random.Chance(1, 3) ? meaningful[random.Below(5)] : random.Byte();
    }
}

inline void Receiver(fake::SeededRandom& random, ReceiverScenario& r) {
    r.handshake = !random.Chance(1, 25);
    if (random.Chance(2, 5)) {
        r.handshakeDelayMs = random.Chance(7, 10) ? random.Between(1, HANDSHAKE_IN_TIME_MS)
                                                  : random.Between(HANDSHAKE_TOO_LATE_MS, 9000);
    }
    AnswerNoise(random, r);
    r.silentErase = random.Chance(1, 25);
    if (random.Chance(1, 5)) {
        r.eraseNoiseEveryMs = random.Between(200, 5000);
    }
    // The erase time, drawn until the last noise before 'E' is clear of the limit.
    for (;;) {
        const uint32_t kind = random.Below(10);
        r.eraseMs = kind < 5   ? random.Below(500)
                    : kind < 9 ? random.Between(500, 29000)
                               : random.Between(31000, 45000);
        uint32_t lastNoiseMs;
        if (!LastEraseNoise(r, &lastNoiseMs) ||
            lastNoiseMs + ERASE_LIMIT_MARGIN_MS < ERASE_LIMIT_MS ||
            lastNoiseMs > ERASE_LIMIT_MS + ERASE_LIMIT_MARGIN_MS) {
            break;
        }
    }
    // 'N' answers and damaged chunks: at most 20 resends in all, so that the fake's records
    // of a run keep within the room it reserved.
    if (random.Chance(3, 10)) {
        uint32_t budget = 20;
        for (uint32_t i = random.Between(1, 4); i > 0; --i) {
            const uint32_t chunk = random.Below(CHUNKS);
            const uint8_t times = static_cast<uint8_t>(random.Between(1, 3));
            uint8_t& knob = random.Chance(1, 2) ? r.nakTimes[chunk] : r.flipTimes[chunk];
            if (times <= budget) {
                knob = static_cast<uint8_t>(std::max<uint32_t>(knob, times));
                budget -= times;
            }
        }
    }
    const uint32_t end = random.Below(100);
    r.endAnswer = end < 80 ? 'Y' : end < 92 ? 'N' : 'A' + static_cast<uint8_t>(random.Below(13));
    if (random.Chance(1, 16)) {
        r.stopAfterChunks = random.Below(CHUNKS + 1);
    }
    r.paced = random.Chance(1, 4);
}

// A fault at a port call of any kind but two: the open, whose faults the campaign
// would have to tell from a port that does not open, and the close, which after a failure
// comes when the run's handler has already caught it (a fault there is not the run's).
inline fake::FaultInjection Fault(fake::SeededRandom& random) {
    const fake::Call calls[] = {fake::Call::GetCommState,    fake::Call::SetCommState,
                                fake::Call::SetCommTimeouts, fake::Call::SetCommMask,
                                fake::Call::PurgeComm,       fake::Call::DeviceIoControl,
                                fake::Call::Sleep,           fake::Call::WriteFile,
                                fake::Call::ReadFile,        fake::Call::ReadFile};
    const fake::Fault faults[] = {fake::Fault::ACCESS_VIOLATION, fake::Fault::DIVIDE_BY_ZERO,
                                  fake::Fault::RAISED};
    fake::FaultInjection f;
    f.fault = faults[random.Below(3)];
    f.call = calls[random.Below(10)];
    const uint32_t readSpans[] = {4, 40, 400};
    f.nth = random.Below(f.call == fake::Call::ReadFile    ? readSpans[random.Below(3)]
                         : f.call == fake::Call::WriteFile ? 80
                                                           : 3);
    return f;
}

// The port call at which the user cancels: mostly early, where runs change step fastest;
// at most some 160 virtual seconds of read attempts into a run, far past every limit.
inline uint32_t CancellationCall(fake::SeededRandom& random) {
    const uint32_t spans[] = {8, 40, 400, 4000, 8000};
    return random.Below(spans[random.Below(5)]);
}

}  // namespace draw

inline FaultScenario DrawScenario(uint64_t seed) {
    fake::SeededRandom random(seed);
    FaultScenario s;
    s.seed = seed;
    s.portName = draw::PortName(random);
    s.registry = draw::Registry(random, s.portName);
    draw::Port(random, s.port);
    draw::Receiver(random, s.receiver);
    s.startTick = random.Chance(1, 4)
                      ? 0xFFFFFFFFu - random.Below(random.Chance(1, 2) ? 2000 : 60000)
                      : static_cast<uint32_t>(random.Next());
    // A run that would wait for the user is always cancelled.
    s.cancels = random.Chance(9, 20) || Expect(s).ending == Ending::WAITS_FOR_CANCEL;
    s.port.cancelAtCall = s.cancels ? draw::CancellationCall(random) : RUNAWAY_CALLS;
    if (!s.cancels && random.Chance(1, 4)) {
        s.fault = draw::Fault(random);
    }
    return s;
}

// The scenario in words, for failure reports.
inline std::string Describe(const FaultScenario& s) {
    using std::to_string;
    const fake::WalkResult walk = fake::ReferenceWalk(s.registry, PORT_NAME_BYTES);
    const ReceiverScenario& r = s.receiver;
    const fake::PortBehaviour& p = s.port;
    auto onOff = [](bool fails) { return fails ? std::string("fails") : std::string("works"); };
    auto count = [](uint32_t n) { return n == UINT32_MAX ? std::string("-") : to_string(n); };
    std::string text;
    text += "registry: " + to_string(s.registry.instances.size()) + " instances" +
            (s.registry.activeDriversExists ? "" : ", no Drivers\\Active") +
            ", enumeration fails at " + count(s.registry.failEnumerationAt) + ", receiver " +
            (walk.found ? (walk.isCompactFlash ? "CompactFlash" : "sleeve") : "none") +
            (walk.found && walk.portName != s.portName ? " on a port that does not open" : "") +
            "\n";
    text += "port: GetCommState " + onOff(p.getCommStateFails) + ", SetCommState " +
            onOff(p.setCommStateFails) + ", SetCommTimeouts " + onOff(p.setCommTimeoutsFails) +
            ", speed switch " + onOff(p.refusesSpeedSwitch) + ", " + count(p.maxBytesPerWrite) +
            " bytes and " + to_string(p.msPerWrite) + " ms per attempt, write fails at byte " +
            count(p.failWriteAtByte) + "\n";
    text += "receiver: handshake " + (r.handshake ? to_string(r.handshakeDelayMs) : "never") +
            " ms, " + to_string(r.noiseCount) + " noise bytes " + to_string(r.noiseValue) +
            ", erase " + to_string(r.eraseMs) + " ms" + (r.silentErase ? " without 'E'" : "") +
            ", erase noise every " + to_string(r.eraseNoiseEveryMs) + " ms, end answer " +
            to_string(r.endAnswer) + ", hangs after " + count(r.stopAfterChunks) + " chunks" +
            (r.paced ? ", paced" : "") + "; refused receptions per chunk:";
    for (uint32_t chunk = 0; chunk < CHUNKS; ++chunk) {
        text += " " + to_string(std::max(r.nakTimes[chunk], r.flipTimes[chunk]));
    }
    text += "\nticks from " + to_string(s.startTick) + ", cancel at port call " +
            (s.cancels ? to_string(p.cancelAtCall) : std::string("-"));
    if (s.fault.fault != fake::Fault::NONE) {
        const char* const faults[] = {"", "access violation", "division by zero", "exception"};
        const char* const calls[] = {"CreateFile",      "GetCommState", "SetCommState",
                                     "SetCommTimeouts", "SetCommMask",  "PurgeComm",
                                     "DeviceIoControl", "WriteFile",    "ReadFile",
                                     "CloseHandle",     "Sleep"};
        text += std::string(", ") + faults[static_cast<int>(s.fault.fault)] + " at " +
                calls[static_cast<int>(s.fault.call)] + " number " + to_string(s.fault.nth);
    }
    return text;
}

}  // namespace campaign
