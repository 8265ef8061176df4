#include "engine/programming_protocol.h"

#include "engine/chunk_checksum.h"
#include "engine/payload_images.h"
#include "engine/run_report.h"
#include "engine/serial_link.h"
#include "platform/os.h"

namespace {

// The receiver's answers. Any other byte between them is line noise or chatter from its
// boot code and is skipped.
constexpr uint8_t READY = 'Y';     // loader running (and our go-ahead to erase)
constexpr uint8_t ERASED = 'E';    // storage erased, send the image
constexpr uint8_t ACCEPTED = 'Y';  // chunk's CRC checked out and it is written
constexpr uint8_t REJECTED = 'N';  // chunk arrived damaged: send it again

constexpr uint32_t HANDSHAKE_LIMIT_MS = 5000;
constexpr uint32_t ERASE_LIMIT_MS = 30000;  // a full erase of the receiver's storage
constexpr uint32_t PERCENT_DIVISOR = ROM_IMAGE_SIZE / 100;
// The remembered estimate starts at 26 s rather than 0, so a first estimate of 0 (a
// receiver that answers at once) is still shown.
constexpr uint32_t FIRST_REMEMBERED_ESTIMATE = 26;

const wchar_t ERASING_TEXT[] = L"Erasing storage...";
const wchar_t PROGRAMMING_TEXT[] = L"Programming...";
const wchar_t COMPLETED_TEXT[] = L"Completed successfully";
const wchar_t ERASE_TIMEOUT_TEXT[] = L"Timeout on erase operation";

uint32_t MillisecondsSince(DWORD start) {
    return os::GetTickCount() - start;
}

// A frame header: the byte count that follows, most significant byte first. 0 ends a
// stream.
void WriteLength(UpgradeContext& context, uint32_t length) {
    const uint8_t header[4] = {static_cast<uint8_t>(length >> 24),
                               static_cast<uint8_t>(length >> 16),
                               static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    WriteAll(context, header, sizeof header);
}

void WriteByte(UpgradeContext& context, uint8_t byte) {
    WriteAll(context, &byte, 1);
}

// Reads until the receiver sends wanted, or the run is cancelled. The receiver may
// chatter first; only a byte other than wanted tests the limit, so that a receiver that
// is silent (still erasing, say) is waited for as long as its reads allow.
void AwaitByte(UpgradeContext& context, uint8_t wanted, bool timedReads, uint32_t limitMs,
               const wchar_t* lateMessage) {
    const DWORD start = os::GetTickCount();
    for (;;) {
        const uint8_t byte = ReadByte(context, timedReads);
        if (byte == wanted || IsCancelled()) {
            return;
        }
        if (MillisecondsSince(start) > limitMs) {
            UpgradeError(context, lateMessage);
        }
    }
}

// The loader's first 'Y'. Each read has the link's own limit too, so a silent receiver
// fails the handshake as surely as a chattering one.
void AwaitHandshake(UpgradeContext& context) {
    AwaitByte(context, READY, TIMED, HANDSHAKE_LIMIT_MS, UPDATE_NOT_SUPPORTED_TEXT);
}

// 'E' after the erase. The reads are untimed: a silent receiver is still erasing, and the
// wait then ends only when the user cancels.
void AwaitErase(UpgradeContext& context) {
    AwaitByte(context, ERASED, UNTIMED, ERASE_LIMIT_MS, ERASE_TIMEOUT_TEXT);
}

// Reads until the receiver says 'Y' or 'N'. True only for a 'Y' actually received: once
// the run is cancelled the value read means nothing.
bool AwaitAcceptance(UpgradeContext& context) {
    uint8_t answer;
    do {
        answer = ReadByte(context, TIMED);
    } while (answer != ACCEPTED && answer != REJECTED && !IsCancelled());
    return answer == ACCEPTED && !IsCancelled();
}

// Sends the chunk of n bytes at offset: header, data, CRC most significant byte first.
// The CRC is worked out while nothing waits on it: after the data has left.
void SendChunk(UpgradeContext& context, uint32_t offset, uint32_t n) {
    WriteLength(context, n);
    WriteAll(context, RomImage + offset, n);
    const uint16_t crc = ComputeCrc(context, CRC_INITIAL, RomImage + offset, n);
    const uint8_t trailer[2] = {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
    WriteAll(context, trailer, sizeof trailer);
}

// Whole chunks still to send, times the average time one accepted chunk has cost so far
// (rejected turns included), in seconds. Before a whole chunk has been accepted there is
// no average yet: nothing is shown (the line keeps what it had).
void ShowTimeRemaining(UpgradeContext& context, uint32_t acked, uint32_t busyMs,
                       uint32_t& lastShown) {
    const uint32_t chunksAccepted = acked / CHUNK_SIZE;
    if (chunksAccepted == 0) {
        return;
    }
    const uint32_t chunksLeft = (ROM_IMAGE_SIZE - acked) / CHUNK_SIZE;
    // 64 bits: many rejected turns must not wrap the product into a small estimate.
    const uint32_t estimate =
        static_cast<uint32_t>(uint64_t{chunksLeft} * (busyMs / chunksAccepted) / 1000);
    if (estimate != lastShown) {
        lastShown = estimate;
        SetTimeRemaining(context, estimate, UNLESS_CANCELLED);
    }
}

// The bar only moves forward within a run.
void ShowProgress(UpgradeContext& context, uint32_t acked) {
    const uint32_t percent = acked / PERCENT_DIVISOR;
    if (percent > context.progressPercent) {
        context.progressPercent = percent;
        SetProgress(context);
    }
}

}  // namespace

void SendLoader(UpgradeContext& context) {
    WriteLength(context, LOADER_IMAGE_SIZE);
    WriteAll(context, LoaderImage, LOADER_IMAGE_SIZE);
    WriteLength(context, 0);
}

bool ProgramRom(UpgradeContext& context) {
    if (!RunCatchingUpgradeErrors(context, AwaitHandshake)) {
        return false;
    }
    WriteByte(context, READY);
    SetStatusText(context, ERASING_TEXT, UNLESS_CANCELLED);
    AwaitErase(context);

    SetStatusText(context, PROGRAMMING_TEXT, UNLESS_CANCELLED);
    BuildCrcTable(context);
    uint32_t acked = 0;
    uint32_t busyMs = 0;
    uint32_t lastShown = FIRST_REMEMBERED_ESTIMATE;
    while (!IsCancelled() && acked < ROM_IMAGE_SIZE) {
        const DWORD turnStart = os::GetTickCount();
        const uint32_t n =
            ROM_IMAGE_SIZE - acked <= CHUNK_SIZE ? ROM_IMAGE_SIZE - acked : CHUNK_SIZE;
        SendChunk(context, acked, n);
        if (AwaitAcceptance(context)) {
            acked += n;
        }
        busyMs += MillisecondsSince(turnStart);
        ShowTimeRemaining(context, acked, busyMs, lastShown);
        ShowProgress(context, acked);
    }

    WriteLength(context, 0);
    AwaitAcceptance(context);  // 'Y' or 'N': the image is in either way
    SetTimeRemaining(context, TIME_REMAINING_NONE, UNLESS_CANCELLED);
    SetStatusText(context, COMPLETED_TEXT, UNLESS_CANCELLED);
    context.progressPercent = 0;
    SetProgress(context);
    return true;
}
