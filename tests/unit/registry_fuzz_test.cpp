// Random "Drivers\Active" trees against the reference model of the walk: the program must
// find the same receiver (or none), of the same kind, by the same port name, close every
// key it opened exactly once, and write nothing outside the name buffer it was given.
//
// VANDREL_SEED=<n> runs the one tree that a failure names.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "engine/receiver_discovery.h"
#include "tests/fakes/registry_tree.h"

namespace {

constexpr uint64_t FIRST_SEED = 0x5EED0000;
constexpr uint32_t TREES = 10000;
constexpr uint32_t MAX_INSTANCES = 8;

constexpr size_t GUARD_CHARS = 16;
constexpr wchar_t GUARD = 0xA5C3;
constexpr size_t PORT_NAME_BYTES = sizeof(UpgradeContext::portName);

// How often each way through the walk came up, so that a generator that stopped reaching
// one shows.
struct Coverage {
    uint32_t sleeves = 0;
    uint32_t compactFlash = 0;
    uint32_t nothing = 0;
    uint32_t cutShortByEnumeration = 0;  // an enumeration failed before the last instance
    uint32_t skippedLongNames = 0;       // instances whose path would not fit
    uint32_t unopenable = 0;
    uint32_t namesWithoutZero = 0;  // found, the name stored without its terminator
};

// A name buffer with guard characters on both sides.
struct GuardedName {
    wchar_t before[GUARD_CHARS];
    wchar_t name[64];
    wchar_t after[GUARD_CHARS];

    void Fill() {
        wmemset(before, GUARD, GUARD_CHARS);
        wmemset(name, GUARD, 64);
        wmemset(after, GUARD, GUARD_CHARS);
    }
    // The guards, and the characters of the buffer past the capacity given.
    bool Intact(size_t capacityChars) const {
        for (size_t i = 0; i < GUARD_CHARS; ++i) {
            if (before[i] != GUARD || after[i] != GUARD) {
                return false;
            }
        }
        for (size_t i = capacityChars; i < 64; ++i) {
            if (name[i] != GUARD) {
                return false;
            }
        }
        return true;
    }
};

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return out;
}

void Tally(const fake::RegistryTree& tree, const fake::WalkResult& expected, Coverage& coverage) {
    if (!expected.found) {
        ++coverage.nothing;
    } else if (expected.isCompactFlash) {
        ++coverage.compactFlash;
    } else {
        ++coverage.sleeves;
    }
    if (tree.failEnumerationAt < tree.instances.size()) {
        ++coverage.cutShortByEnumeration;
    }
    for (const fake::RegistryInstance& instance : tree.instances) {
        coverage.skippedLongNames += instance.name.size() > 240 && instance.name.size() < 256;
        coverage.unopenable += instance.openFails;
    }
    if (expected.found) {
        const fake::RegistryValue* name =
            fake::registry_walk::FindValue(tree.instances[expected.instance], L"Name");
        coverage.namesWithoutZero += expected.portName.size() == name->data.size() / 2;
    }
}

// One tree: false (with the reasons added as failures) if the program and the reference
// part ways.
bool CheckTree(uint64_t seed, Coverage& coverage) {
    fake::SeededRandom random(seed);
    const fake::RegistryTree tree = fake::RandomRegistryTree(random, L"COM5:", MAX_INSTANCES);
    // Mostly the port name buffer of the program, sometimes another size.
    const size_t capacityBytes =
        random.Chance(3, 4) ? PORT_NAME_BYTES : 2 * size_t{random.Between(1, 40)};
    const fake::WalkResult expected = fake::ReferenceWalk(tree, capacityBytes);
    Tally(tree, expected, coverage);

    fake::ResetWorld();
    fake::InstallRegistryTree(tree);
    GuardedName buffer;
    buffer.Fill();
    UpgradeContext context;
    context.isCompactFlash = true;  // left from an earlier walk
    const bool found = FindReceiverPort(context, buffer.name, static_cast<DWORD>(capacityBytes));

    SCOPED_TRACE(testing::Message()
                 << "VANDREL_SEED=" << seed << " (capacity " << capacityBytes << " bytes)");
    EXPECT_EQ(found, expected.found);
    EXPECT_EQ(context.isCompactFlash, expected.isCompactFlash);
    if (found && expected.found) {
        const size_t capacityChars = capacityBytes / 2;
        const bool terminated = wmemchr(buffer.name, L'\0', capacityChars) != nullptr;
        EXPECT_TRUE(terminated) << "the name does not end inside its buffer";
        if (terminated) {
            EXPECT_EQ(std::wstring(buffer.name), expected.portName)
                << Narrow(buffer.name) << " instead of " << Narrow(expected.portName);
        }
    }
    EXPECT_TRUE(buffer.Intact(capacityBytes / 2)) << "written outside the name buffer";

    const fake::KeyUse active = fake::ActiveDriversKeyUse();
    EXPECT_EQ(active.opens, tree.activeDriversExists ? 1 : 0);
    EXPECT_EQ(active.closes, active.opens);
    for (size_t i = 0; i < tree.instances.size(); ++i) {
        const fake::KeyUse use = fake::InstanceKeyUse(static_cast<DWORD>(i));
        EXPECT_EQ(use.opens, expected.opens[i]) << "instance " << i;
        EXPECT_EQ(use.closes, use.opens) << "instance " << i;
    }
    EXPECT_EQ(fake::StrayKeyCloses(), 0);
    return !testing::Test::HasFailure();
}

TEST(RegistryFuzz, RandomTreesAreWalkedAsTheReferenceWalksThem) {
    Coverage coverage;
    if (const char* one = getenv("VANDREL_SEED")) {
        CheckTree(strtoull(one, nullptr, 0), coverage);
        return;
    }
    for (uint32_t i = 0; i < TREES; ++i) {
        if (!CheckTree(FIRST_SEED + i, coverage)) {
            return;  // the first tree that differs tells the story
        }
    }
    printf("%" PRIu32 " trees: sleeve %" PRIu32 ", CompactFlash %" PRIu32 ", nothing %" PRIu32
           "; enumeration cut short %" PRIu32 ", long names skipped %" PRIu32
           ", unopenable instances %" PRIu32 ", names found without a zero %" PRIu32 "\n",
           TREES, coverage.sleeves, coverage.compactFlash, coverage.nothing,
           coverage.cutShortByEnumeration, coverage.skippedLongNames, coverage.unopenable,
           coverage.namesWithoutZero);
    // The trees must keep reaching every way through the walk.
    EXPECT_GT(coverage.sleeves, TREES / 50);
    EXPECT_GT(coverage.compactFlash, TREES / 50);
    EXPECT_GT(coverage.nothing, TREES / 50);
    EXPECT_GT(coverage.cutShortByEnumeration, TREES / 50);
    EXPECT_GT(coverage.skippedLongNames, TREES / 50);
    EXPECT_GT(coverage.unopenable, TREES / 50);
    EXPECT_GT(coverage.namesWithoutZero, TREES / 200);
}

}  // namespace
