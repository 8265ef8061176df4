// The serial connection to the receiver for one run: open and configure the port found
// in the registry, switch the link to 115,200 bit/s, and the two transfer primitives.
//
// Every failure leaves through UpgradeError with the message in context.errorText; the
// link's own time-outs and write errors clear the time-remaining line first. Once the
// run is cancelled, WriteAll and ReadByte do nothing more at the port. While they wait on
// the receiver, both keep the machine awake (engine/keep_awake.h).
#pragma once

#include <stdint.h>

#include "engine/upgrade_context.h"

constexpr uint32_t LINK_TIMEOUT_MS = 5000;  // one whole WriteAll, one timed ReadByte

// ReadByte's timed argument, as callers write it.
constexpr bool TIMED = true;
constexpr bool UNTIMED = false;

// Shows "Initialising...", checks the payloads (engine/payload_check.h), finds the
// receiver's port, opens it and configures it for 38,400 bit/s 8N1 without flow control.
// Returns with context.portHandle open.
void OpenReceiverPort(UpgradeContext& context);

// Has the sleeve's driver switch the link, tells the receiver, and moves the port to
// 115,200 bit/s.
void SwitchToHighSpeed(UpgradeContext& context);

// Sends count bytes. Returns when the port accepted all of them, or at once when the
// run is cancelled (having sent part or none).
void WriteAll(UpgradeContext& context, const uint8_t* bytes, uint32_t count);

// Returns the next byte from the receiver, in order of arrival. timed: fail after
// LINK_TIMEOUT_MS without a byte. When the run is cancelled before a byte came it
// returns at once with a meaningless value; callers check IsCancelled.
uint8_t ReadByte(UpgradeContext& context, bool timed);
