#include "engine/receiver_discovery.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "tests/fakes/fake_os.h"

namespace {

const std::wstring SLEEVE_KEY = L"Drivers\\OptPack\\0100";

using Values = std::vector<std::pair<std::wstring, std::vector<uint8_t>>>;

enum class Trouble { NONE, OPEN_FAILS, ENUMERATION_FAILS };

// One driver instance under "Drivers\Active", as the device manager would list it.
struct Instance {
    std::wstring name;
    Values values;
    Trouble trouble = Trouble::NONE;
};

std::vector<uint8_t> Text(const std::wstring& text) {
    return fake::Terminated(text);
}
std::vector<uint8_t> Raw(const std::wstring& text) {
    return fake::Unterminated(text);
}
std::vector<uint8_t> Plus(std::vector<uint8_t> bytes, const std::vector<uint8_t>& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}

Instance Sleeve(const std::wstring& name, const std::wstring& port) {
    return {name, {{L"Key", Text(SLEEVE_KEY)}, {L"Name", Text(port)}}};
}
Instance CompactFlash(const std::wstring& name, const std::wstring& port) {
    return {name, {{L"PnpId", Text(L"TAVRIN-5240")}, {L"Name", Text(port)}}};
}
Instance WithKey(const std::vector<uint8_t>& key, const std::wstring& port = L"COM5:") {
    return {L"S", {{L"Key", key}, {L"Name", Text(port)}}};
}
Instance SleeveNamed(const std::vector<uint8_t>& name) {
    return {L"S", {{L"Key", Text(SLEEVE_KEY)}, {L"Name", name}}};
}
Instance Unopenable(Instance instance) {
    instance.trouble = Trouble::OPEN_FAILS;
    return instance;
}
Instance EnumerationFails() {
    return {L"Broken", {}, Trouble::ENUMERATION_FAILS};
}

const std::wstring PORT_31 = L"\\\\.\\" + std::wstring(27, L'P');  // 64 bytes with its zero
const std::wstring PORT_32 = PORT_31 + L"Q";
const std::wstring KEY_127 = SLEEVE_KEY + std::wstring(107, L'x');  // 256 bytes with its zero
const std::wstring NAME_240(240, L'n');                             // the longest whole path
const std::wstring NAME_241(241, L'n');

struct Case {
    const char* scenario;
    std::vector<Instance> registry;  // in enumeration order
    std::vector<int> opens;          // each instance's key: opened (and closed) this often
    bool compactFlash;
    std::wstring portName;  // empty: nothing found
};

// clang-format off
const Case CASES[] = {
    {"no instances", {}, {}, false, L""},
    {"the sleeve", {Sleeve(L"COM5", L"COM5:")}, {1}, false, L"COM5:"},
    {"a CompactFlash receiver", {CompactFlash(L"PCMCIA", L"COM7:")}, {1}, true, L"COM7:"},
    {"sleeve enumerated first", {Sleeve(L"B", L"COM5:"), CompactFlash(L"A", L"COM7:")},
     {1, 0}, false, L"COM5:"},
    {"CompactFlash enumerated first", {CompactFlash(L"A", L"COM7:"), Sleeve(L"B", L"COM5:")},
     {1, 0}, true, L"COM7:"},
    {"other drivers are passed over",
     {{L"Keyboard", {{L"Key", Text(L"Drivers\\BuiltIn\\Keybd")}, {L"Name", Text(L"KBD1:")}}},
      {L"Empty", {}},
      Sleeve(L"Serial", L"COM5:")},
     {1, 1, 1}, false, L"COM5:"},

    {"Key going on past the prefix", {WithKey(Text(SLEEVE_KEY + L"\\Serial"))}, {1}, false,
     L"COM5:"},
    {"Key in other letter case", {WithKey(Text(L"drivers\\optpack\\0100"))}, {1}, false, L""},
    {"Key one character short", {WithKey(Text(L"Drivers\\OptPack\\010"))}, {1}, false, L""},
    {"Key of just the prefix without its zero", {WithKey(Raw(SLEEVE_KEY))}, {1}, false,
     L"COM5:"},
    {"short Key without its zero borrows nothing from an earlier value",
     {{L"A", {{L"Key", Text(SLEEVE_KEY)}}}, WithKey(Raw(L"Drivers\\OptPack\\010"), L"COM6:")},
     {1, 1}, false, L""},
    {"Key of 127 characters", {WithKey(Text(KEY_127))}, {1}, false, L"COM5:"},
    {"Key of 128 characters cannot be read", {WithKey(Text(KEY_127 + L"x"))}, {1}, false, L""},
    {"PnpId in other letter case",
     {{L"S", {{L"PnpId", Text(L"tavrin-5240")}, {L"Name", Text(L"COM7:")}}}}, {1}, false, L""},
    {"unreadable Key, then the CompactFlash test of the same instance",
     {{L"S", {{L"Key", Text(KEY_127 + L"x")}, {L"PnpId", Text(L"TAVRIN")},
              {L"Name", Text(L"COM7:")}}}},
     {1}, true, L"COM7:"},
    {"matching Key without Name, the walk goes on",
     {{L"S", {{L"Key", Text(SLEEVE_KEY)}}}, Sleeve(L"T", L"COM6:")}, {1, 1}, false, L"COM6:"},

    {"Name of 31 characters", {SleeveNamed(Text(PORT_31))}, {1}, false, PORT_31},
    {"Name of 32 characters does not fit", {SleeveNamed(Text(PORT_32))}, {1}, false, L""},
    {"Name without its zero", {SleeveNamed(Raw(L"COM5:"))}, {1}, false, L"COM5:"},
    {"Name without its zero and with an odd byte", {SleeveNamed(Plus(Raw(L"COM5:"), {'x'}))},
     {1}, false, L"COM5:"},
    {"Name with bytes after its zero", {SleeveNamed(Plus(Text(L"COM5:"), Raw(L"junk")))}, {1},
     false, L"COM5:"},
    {"Name of 31 characters without its zero", {SleeveNamed(Raw(PORT_31))}, {1}, false,
     PORT_31},
    {"Name without its zero filling the buffer", {SleeveNamed(Raw(PORT_32))}, {1}, false, L""},

    {"instance name of 240 characters", {Sleeve(NAME_240, L"COM5:")}, {1}, false, L"COM5:"},
    {"instance name of 241 characters is skipped",
     {Sleeve(NAME_241, L"COM5:"), Sleeve(L"T", L"COM6:")}, {0, 1}, false, L"COM6:"},
    {"instance name of 255 characters is skipped",
     {Sleeve(std::wstring(255, L'n'), L"COM5:"), Sleeve(L"T", L"COM6:")}, {0, 1}, false,
     L"COM6:"},
    {"instance name of 256 characters ends the walk",
     {Sleeve(std::wstring(256, L'n'), L"COM5:"), Sleeve(L"T", L"COM6:")}, {0, 0}, false, L""},
    {"a name too long for the path never opens a shorter name's key",
     {{NAME_241, {}}, EnumerationFails(), Sleeve(NAME_240, L"COM5:")}, {0, 0, 0}, false, L""},
    {"enumeration failure ends the walk",
     {{L"A", {}}, EnumerationFails(), Sleeve(L"C", L"COM5:")}, {1, 0, 0}, false, L""},
    {"an instance that cannot be opened is skipped",
     {Unopenable(Sleeve(L"A", L"COM5:")), Sleeve(L"B", L"COM6:")}, {0, 1}, false, L"COM6:"},
};
// clang-format on

class ReceiverDiscovery : public ::testing::TestWithParam<Case> {};

TEST_P(ReceiverDiscovery, SettlesOnTheFirstReceiverAndClosesEveryKeyOnce) {
    const Case& c = GetParam();
    fake::ResetWorld();
    fake::CreateActiveDriversKey();
    for (const Instance& instance : c.registry) {
        const DWORD number = fake::AddDriverInstance(instance.name);
        for (const auto& [name, data] : instance.values) {
            fake::SetValue(number, name, data);
        }
        if (instance.trouble == Trouble::OPEN_FAILS) {
            fake::FailOpenOf(number);
        } else if (instance.trouble == Trouble::ENUMERATION_FAILS) {
            fake::FailEnumerationAt(number);
        }
    }

    UpgradeContext context;
    context.isCompactFlash = true;  // left over from an earlier run
    wmemset(context.portName, L'Z', PORT_NAME_CHARS);
    const bool found = FindReceiverPort(context, context.portName, sizeof context.portName);

    EXPECT_EQ(found, !c.portName.empty());
    EXPECT_EQ(context.isCompactFlash, c.compactFlash);
    if (found) {
        ASSERT_NE(wmemchr(context.portName, L'\0', PORT_NAME_CHARS), nullptr);
        EXPECT_EQ(std::wstring(context.portName), c.portName);
    }
    EXPECT_EQ(fake::ActiveDriversKeyUse().opens, 1);
    EXPECT_EQ(fake::ActiveDriversKeyUse().closes, 1);
    for (DWORD i = 0; i < c.registry.size(); ++i) {
        EXPECT_EQ(fake::InstanceKeyUse(i).opens, c.opens[i]) << "instance " << i;
        EXPECT_EQ(fake::InstanceKeyUse(i).closes, c.opens[i]) << "instance " << i;
    }
    EXPECT_EQ(fake::StrayKeyCloses(), 0);
    EXPECT_EQ(fake::RefusedKeyOpens(), 0) << "keys are opened for reading, as a desktop allows";
}

INSTANTIATE_TEST_SUITE_P(Registry, ReceiverDiscovery, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (const char* p = info.param.scenario; *p != '\0'; ++p) {
                                 name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

TEST(ReceiverDiscoveryWalk, WithoutDriversActiveNothingIsFoundAndNothingClosed) {
    fake::ResetWorld();
    UpgradeContext context;
    context.isCompactFlash = true;
    EXPECT_FALSE(FindReceiverPort(context, context.portName, sizeof context.portName));
    EXPECT_FALSE(context.isCompactFlash);
    EXPECT_EQ(fake::ActiveDriversKeyUse().closes, 0);
    EXPECT_EQ(fake::StrayKeyCloses(), 0);
}

TEST(ReceiverDiscoveryWalk, MatchingKeyWithoutNameStillGetsItsCompactFlashTest) {
    // Key and Name for the sleeve test, then PnpId and Name for the CompactFlash test.
    fake::ResetWorld();
    const DWORD instance = fake::AddDriverInstance(L"S");
    fake::SetValue(instance, L"Key", Text(SLEEVE_KEY));
    fake::SetValue(instance, L"PnpId", Text(L"TAVRIN"));
    UpgradeContext context;
    EXPECT_FALSE(FindReceiverPort(context, context.portName, sizeof context.portName));
    EXPECT_EQ(fake::InstanceKeyUse(instance).valueReads, 4);
}

}  // namespace
