// Random "Drivers\Active" trees for the fake registry, and a reference model of the walk
// that looks for the receiver in them, written from the rules of that walk rather than
// from the program's code: the tests compare the two.
//
// The trees go where real ones have gone wrong: instance names up to and past the
// 256-character limit, values of every length (odd ones included) with and without a
// terminating zero, prefixes cut short or in other letter case, instances that cannot
// be opened, enumerations that fail half-way.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "tests/fakes/fake_os.h"
#include "tests/fakes/seeded_random.h"

namespace fake {

struct RegistryValue {
    std::wstring name;
    std::vector<uint8_t> data;
};

struct RegistryInstance {
    std::wstring name;
    std::vector<RegistryValue> values;
    bool openFails = false;
};

struct RegistryTree {
    bool activeDriversExists = true;
    std::vector<RegistryInstance> instances;  // in enumeration order
    DWORD failEnumerationAt = MAXDWORD;       // enumerating this index fails
};

// What the walk finds: the receiver's port name and kind, and how often it opens (and so
// must close) each instance's key.
struct WalkResult {
    bool found = false;
    bool isCompactFlash = false;
    std::wstring portName;
    size_t instance = 0;     // the instance found
    std::vector<int> opens;  // per instance
};

// Puts the tree into the fake registry; call after ResetWorld.
inline void InstallRegistryTree(const RegistryTree& tree) {
    if (tree.activeDriversExists) {
        CreateActiveDriversKey();
    }
    for (const RegistryInstance& instance : tree.instances) {
        const DWORD number = AddDriverInstance(instance.name);
        for (const RegistryValue& value : instance.values) {
            SetValue(number, value.name, value.data);
        }
        if (instance.openFails) {
            FailOpenOf(number);
        }
    }
    if (tree.failEnumerationAt != MAXDWORD) {
        FailEnumerationAt(tree.failEnumerationAt);
    }
}

namespace registry_walk {

const std::wstring SLEEVE_DRIVER_KEY = L"Drivers\\OptPack\\0100";
const std::wstring COMPACTFLASH_PNP_PREFIX = L"TAVRIN";
constexpr size_t NAME_LIMIT_CHARS = 256;   // an instance name must be shorter to enumerate
constexpr size_t PATH_CHARS = 256;         // "Drivers\Active\<name>" and its zero
constexpr size_t VALUE_LIMIT_BYTES = 256;  // "Key" and "PnpId"
const std::wstring ACTIVE_DRIVERS_PATH = L"Drivers\\Active";

// Registry key and value names are not case-sensitive.
inline bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (towlower(a[i]) != towlower(b[i])) {
            return false;
        }
    }
    return true;
}

inline const RegistryValue* FindValue(const RegistryInstance& instance, const wchar_t* name) {
    for (const RegistryValue& value : instance.values) {
        if (SameName(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

// The whole characters of the data, up to the first zero.
inline std::wstring TextOf(const std::vector<uint8_t>& data, size_t chars) {
    std::wstring text;
    for (size_t i = 0; i < chars; ++i) {
        const wchar_t c = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (c == L'\0') {
            break;
        }
        text += c;
    }
    return text;
}

// "Key" or "PnpId": readable when present and within the limit; it begins with the prefix
// when its text does, case counting.
inline bool BeginsWith(const RegistryInstance& instance, const wchar_t* valueName,
                       const std::wstring& prefix) {
    const RegistryValue* value = FindValue(instance, valueName);
    if (value == nullptr || value->data.size() > VALUE_LIMIT_BYTES) {
        return false;
    }
    return TextOf(value->data, value->data.size() / 2).compare(0, prefix.size(), prefix) == 0;
}

// "Name" into a buffer of capacityBytes: unreadable when absent or too long; and when its
// characters fill the buffer without a zero among them, since the name could not end
// inside the buffer (this program refuses it rather than cut it to another port's name).
inline bool ReadName(const RegistryInstance& instance, size_t capacityBytes, std::wstring* name) {
    const RegistryValue* value = FindValue(instance, L"Name");
    if (value == nullptr || value->data.size() > capacityBytes) {
        return false;
    }
    const size_t chars = value->data.size() / 2;
    *name = TextOf(value->data, chars);
    return name->size() < chars || chars < capacityBytes / 2;
}

}  // namespace registry_walk

// The walk: instances in enumeration order until one is the sleeve's serial driver or a
// CompactFlash receiver with a readable "Name", the sleeve tested first within each. An
// enumeration that fails (a name of 256 characters or more included) ends the walk; an
// instance that cannot be opened, or whose path would not fit 256 characters (this
// program skips it rather than open a cut path), is passed over.
inline WalkResult ReferenceWalk(const RegistryTree& tree, size_t nameBufferBytes) {
    using namespace registry_walk;
    WalkResult result;
    result.opens.assign(tree.instances.size(), 0);
    if (!tree.activeDriversExists) {
        return result;
    }
    for (size_t index = 0; index < tree.instances.size(); ++index) {
        const RegistryInstance& instance = tree.instances[index];
        if (index == tree.failEnumerationAt || instance.name.size() >= NAME_LIMIT_CHARS) {
            break;
        }
        if (ACTIVE_DRIVERS_PATH.size() + 1 + instance.name.size() >= PATH_CHARS ||
            instance.openFails) {
            continue;
        }
        ++result.opens[index];
        std::wstring name;
        if (BeginsWith(instance, L"Key", SLEEVE_DRIVER_KEY) &&
            ReadName(instance, nameBufferBytes, &name)) {
            result.found = true;
        } else if (BeginsWith(instance, L"PnpId", COMPACTFLASH_PNP_PREFIX) &&
                   ReadName(instance, nameBufferBytes, &name)) {
            result.found = true;
            result.isCompactFlash = true;
        }
        if (result.found) {
            result.portName = name;
            result.instance = index;
            break;
        }
    }
    return result;
}

// --- Drawing trees -------------------------------------------------------------------------

namespace registry_draw {

inline std::vector<uint8_t> Bytes(const std::wstring& text, bool terminated) {
    return terminated ? Terminated(text) : Unterminated(text);
}

inline std::wstring RandomText(SeededRandom& random, size_t length) {
    // Mostly printable, with the odd character from far outside ASCII and the odd
    // format directive, which must travel as text.
    static const wchar_t ALPHABET[] = L"ACMOPRSTVYabcdenoprstxyz0123456789:\\.-_ %";
    std::wstring text;
    for (size_t i = 0; i < length; ++i) {
        if (random.Chance(1, 40)) {
            text += static_cast<wchar_t>(random.Between(0x100, 0xD7FF));
        } else {
            text += ALPHABET[random.Below(sizeof ALPHABET / sizeof(wchar_t) - 1)];
        }
    }
    return text;
}

inline std::vector<uint8_t> RandomBytes(SeededRandom& random, size_t length) {
    std::vector<uint8_t> bytes(length);
    for (uint8_t& byte : bytes) {
        byte = random.Byte();
    }
    return bytes;
}

// The text as a value's data, stored in one of the ways a driver may leave it: with its
// zero, without, with bytes after the zero, or with a stray half character at the end.
inline std::vector<uint8_t> StoredText(SeededRandom& random, const std::wstring& text) {
    std::vector<uint8_t> data;
    switch (random.Below(5)) {
        case 0:
            data = Bytes(text, false);
            break;
        case 1:
            data = Bytes(text + L'\0' + RandomText(random, random.Below(6)), true);
            break;
        case 2:
            data = Bytes(text, random.Chance(1, 2));
            data.push_back(random.Byte());
            break;
        default:
            data = Bytes(text, true);
            break;
    }
    return data;
}

// A value that begins with the prefix, or nearly does: cut short, in other letter case,
// behind another character, or too long to be read.
inline std::wstring PrefixedText(SeededRandom& random, const std::wstring& prefix) {
    std::wstring text = prefix;
    switch (random.Below(8)) {
        case 0:
            text.resize(random.Below(static_cast<uint32_t>(prefix.size())));
            break;
        case 1: {
            const size_t at = random.Below(static_cast<uint32_t>(prefix.size()));
            text[at] =
                static_cast<wchar_t>(iswlower(text[at]) ? towupper(text[at]) : towlower(text[at]));
            break;
        }
        case 2:
            text = RandomText(random, 1) + text;
            break;
        case 3:
            text += RandomText(random, random.Between(100, 140));  // near the 256-byte limit
            break;
        default:
            text += RandomText(random, random.Below(12));
            break;
    }
    return text;
}

// A port name for "Name": the one given, or one near the 32-character limit of the port
// name buffer, or an empty one, or bytes of no meaning.
inline std::vector<uint8_t> PortNameData(SeededRandom& random, const std::wstring& portName) {
    switch (random.Below(10)) {
        case 0:
            return StoredText(random, RandomText(random, random.Between(29, 33)));
        case 1:
            return Bytes(L"", random.Chance(1, 2));
        case 2:
            return RandomBytes(random, random.Below(80));
        default:
            return StoredText(random, portName);
    }
}

// A key's name: any characters but the backslash, which separates keys in a path.
inline std::wstring InstanceName(SeededRandom& random) {
    size_t length;
    switch (random.Below(12)) {
        case 0:
            length = random.Between(238, 242);  // the longest whole paths
            break;
        case 1:
            length = random.Between(243, 255);  // too long for the path
            break;
        case 2:
            length = random.Between(256, 300);  // too long to enumerate
            break;
        default:
            length = random.Between(1, 12);
            break;
    }
    std::wstring name = RandomText(random, length);
    for (wchar_t& c : name) {
        if (c == L'\\') {
            c = L'_';
        }
    }
    return name;
}

}  // namespace registry_draw

// One random driver instance. portName is what a "Name" most often holds.
inline RegistryInstance RandomInstance(SeededRandom& random, const std::wstring& portName) {
    using namespace registry_draw;
    RegistryInstance instance;
    instance.name = InstanceName(random);
    // Each value at most once (names compared without case, as the registry does), in
    // any order, some in other letter case.
    const wchar_t* names[] = {L"Key", L"PnpId", L"Name", L"Index", L"Prefix"};
    for (const wchar_t* name : names) {
        if (random.Chance(1, 3)) {
            continue;
        }
        RegistryValue value;
        value.name = name;
        if (random.Chance(1, 10)) {
            value.name = std::wstring(name);
            for (wchar_t& c : value.name) {
                c = static_cast<wchar_t>(towupper(c));
            }
        }
        const std::wstring which = name;
        if (which == L"Key") {
            value.data =
                random.Chance(2, 3)
                    ? StoredText(random, PrefixedText(random, registry_walk::SLEEVE_DRIVER_KEY))
                    : StoredText(random, L"Drivers\\BuiltIn\\Serial");
        } else if (which == L"PnpId") {
            value.data =
                StoredText(random, PrefixedText(random, registry_walk::COMPACTFLASH_PNP_PREFIX));
        } else if (which == L"Name") {
            value.data = PortNameData(random, portName);
        } else {
            value.data = RandomBytes(random, random.Chance(1, 2) ? 4 : random.Below(300));
        }
        if (random.Chance(1, 12)) {
            value.data = RandomBytes(random, random.Below(300));  // any type, any length
        }
        instance.values.insert(instance.values.begin() +
                                   random.Below(static_cast<uint32_t>(instance.values.size() + 1)),
                               value);
    }
    instance.openFails = random.Chance(1, 12);
    return instance;
}

// Adds the instance after the others unless one of them has its name already (key names
// are compared without case): false then.
inline bool AddInstance(RegistryTree& tree, const RegistryInstance& instance) {
    for (const RegistryInstance& other : tree.instances) {
        if (registry_walk::SameName(other.name, instance.name)) {
            return false;
        }
    }
    tree.instances.push_back(instance);
    return true;
}

// A random tree of up to maxInstances instances; sometimes without "Drivers\Active" (and
// so without instances) at all, sometimes with an enumeration that fails part of the way.
inline RegistryTree RandomRegistryTree(SeededRandom& random, const std::wstring& portName,
                                       uint32_t maxInstances) {
    RegistryTree tree;
    tree.activeDriversExists = !random.Chance(1, 30);
    const uint32_t count = tree.activeDriversExists ? random.Below(maxInstances + 1) : 0;
    while (tree.instances.size() < count) {
        AddInstance(tree, RandomInstance(random, portName));
    }
    if (random.Chance(1, 8)) {
        tree.failEnumerationAt = random.Below(count + 1);
    }
    return tree;
}

}  // namespace fake
