// A small random number generator for randomised tests: the same seed gives the same
// draws on every platform and with every standard library, so a failing seed printed by
// one run reproduces the case exactly in another. (SplitMix64: each draw is a 64-bit mix
// of a counter, so neighbouring seeds give unrelated sequences.)
#pragma once

#include <cstdint>

namespace fake {

class SeededRandom {
public:
    explicit SeededRandom(uint64_t seed) : state_(seed) {}

    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, bound); 0 when bound is 0. The tiny bias of the modulo does not
    // matter for drawing test cases.
    uint32_t Below(uint32_t bound) {
        return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound);
    }

    // Uniform in [low, high].
    uint32_t Between(uint32_t low, uint32_t high) {
        return low + static_cast<uint32_t>(Next() % (uint64_t{high} - low + 1));
    }

    // True with probability numerator / denominator.
    bool Chance(uint32_t numerator, uint32_t denominator) { return Below(denominator) < numerator; }

    uint8_t Byte() { return static_cast<uint8_t>(Next()); }

private:
    uint64_t state_;
};

}  // namespace fake
