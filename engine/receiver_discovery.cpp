#include "engine/receiver_discovery.h"

#include "platform/os.h"
#include "platform/wide_format.h"

namespace {

const wchar_t ACTIVE_DRIVERS_PATH[] = L"Drivers\\Active";
const wchar_t INSTANCE_PATH_FORMAT[] = L"Drivers\\Active\\%ls";
const wchar_t KEY_VALUE[] = L"Key";
const wchar_t PNP_ID_VALUE[] = L"PnpId";
const wchar_t NAME_VALUE[] = L"Name";

// A value matches when it begins with the whole literal; case counts.
const wchar_t SLEEVE_DRIVER_KEY[] = L"Drivers\\OptPack\\0100";
const wchar_t COMPACTFLASH_PNP_PREFIX[] = L"TAVRIN";
// Characters of a literal, without its terminator.
template <size_t N>
constexpr size_t LiteralChars(const wchar_t (&)[N]) {
    return N - 1;
}
constexpr size_t SLEEVE_DRIVER_KEY_CHARS = LiteralChars(SLEEVE_DRIVER_KEY);
constexpr size_t COMPACTFLASH_PNP_PREFIX_CHARS = LiteralChars(COMPACTFLASH_PNP_PREFIX);

constexpr DWORD INSTANCE_NAME_CHARS = 256;  // enumeration capacity, with the terminator
constexpr size_t PATH_CHARS = 256;          // with the terminator
constexpr DWORD VALUE_LIMIT_BYTES = 256;    // "Key" and "PnpId"

// An instance's path is "Drivers\Active", a backslash and its name. Names too long for the
// path buffer are skipped: cutting the path short could name another instance's key.
constexpr DWORD LONGEST_INSTANCE_NAME = PATH_CHARS - 1 - LiteralChars(ACTIVE_DRIVERS_PATH) - 1;

// True when the value exists, fits VALUE_LIMIT_BYTES and begins with the prefix. Registry data
// need not be terminated, nor a whole number of characters: the text ends where the
// returned bytes end, or at an earlier zero.
bool ValueBeginsWith(HKEY instance, const wchar_t* valueName, const wchar_t* prefix,
                     size_t prefixChars) {
    wchar_t value[VALUE_LIMIT_BYTES / sizeof(wchar_t) + 1];
    DWORD type;
    DWORD bytes = VALUE_LIMIT_BYTES;
    if (os::RegQueryValueExW(instance, valueName, nullptr, &type, reinterpret_cast<BYTE*>(value),
                             &bytes) != ERROR_SUCCESS) {
        return false;
    }
    value[bytes / sizeof(wchar_t)] = L'\0';
    return wcsncmp(value, prefix, prefixChars) == 0;
}

// wmemchr's question, asked here: the handheld's C library declares wmemchr but has none.
bool ContainsTerminator(const wchar_t* text, size_t chars) {
    for (size_t i = 0; i < chars; ++i) {
        if (text[i] == L'\0') {
            return true;
        }
    }
    return false;
}

// Reads "Name" into nameBuffer. The name must end inside the buffer: data without a zero
// is terminated right after its last whole character if there is room for the zero, and
// fails the read if it fills the buffer, rather than being cut to another port's name.
bool ReadName(HKEY instance, wchar_t* nameBuffer, DWORD nameBufferBytes) {
    DWORD type;
    DWORD bytes = nameBufferBytes;
    if (os::RegQueryValueExW(instance, NAME_VALUE, nullptr, &type,
                             reinterpret_cast<BYTE*>(nameBuffer), &bytes) != ERROR_SUCCESS) {
        return false;
    }
    const size_t chars = bytes / sizeof(wchar_t);
    if (ContainsTerminator(nameBuffer, chars)) {
        return true;
    }
    if (chars == nameBufferBytes / sizeof(wchar_t)) {
        return false;
    }
    nameBuffer[chars] = L'\0';
    return true;
}

}  // namespace

bool FindReceiverPort(UpgradeContext& context, wchar_t* nameBuffer, DWORD nameBufferBytes) {
    context.isCompactFlash = false;
    bool found = false;

    // Keys are opened for reading only: the walk needs no more, and a desktop refuses more
    // to a program that is not elevated.
    HKEY activeDrivers;
    if (os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ACTIVE_DRIVERS_PATH, 0, KEY_READ, &activeDrivers) !=
        ERROR_SUCCESS) {
        return false;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t instanceName[INSTANCE_NAME_CHARS];
        DWORD nameChars = INSTANCE_NAME_CHARS;
        if (os::RegEnumKeyExW(activeDrivers, index, instanceName, &nameChars, nullptr, nullptr,
                              nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        if (nameChars > LONGEST_INSTANCE_NAME) {
            continue;
        }
        wchar_t path[PATH_CHARS];
        swprintf(path, PATH_CHARS, INSTANCE_PATH_FORMAT, instanceName);
        HKEY instance;
        if (os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &instance) != ERROR_SUCCESS) {
            continue;
        }
        if (ValueBeginsWith(instance, KEY_VALUE, SLEEVE_DRIVER_KEY, SLEEVE_DRIVER_KEY_CHARS) &&
            ReadName(instance, nameBuffer, nameBufferBytes)) {
            found = true;
        } else if (ValueBeginsWith(instance, PNP_ID_VALUE, COMPACTFLASH_PNP_PREFIX,
                                   COMPACTFLASH_PNP_PREFIX_CHARS) &&
                   ReadName(instance, nameBuffer, nameBufferBytes)) {
            found = true;
            context.isCompactFlash = true;
        }
        os::RegCloseKey(instance);
        if (found) {
            break;
        }
    }
    os::RegCloseKey(activeDrivers);
    return found;
}
