// Puts the simulated receiver at the far end of the fake serial port: what the host writes
// reaches the model at the port's line speed and virtual time, and the host reads the
// model's answers as they fall due.
#pragma once

#include "sim/receiver_model.h"
#include "tests/fakes/fake_os.h"

namespace fake {

class ReceiverPeer : public SerialPeer {
public:
    // The model must outlive the peer.
    explicit ReceiverPeer(ReceiverModel& model) : model_(model) {}

    void OnHostBytes(const uint8_t* bytes, uint32_t count, uint32_t hostBaud,
                     uint32_t nowMs) override {
        model_.HostBytes(bytes, count, hostBaud, nowMs);
    }
    bool TakeByteForHost(uint32_t nowMs, uint32_t hostBaud, uint8_t* byte) override {
        return model_.NextByte(nowMs, hostBaud, byte);
    }

private:
    ReceiverModel& model_;
};

}  // namespace fake
