#include "platform/wince/import_check.h"

#include "platform/wide_format.h"
#include "ui/main_window.h"

namespace {

const wchar_t MISSING_CALL_FORMAT[] = L"This handheld lacks %ls, which the update needs";
const char MESSAGE_BOX_CALL[] = "MessageBoxW";

// A call's name is a C identifier: far shorter than this.
constexpr int CALL_NAME_CHARS = 64;  // including the terminator
constexpr int MESSAGE_CHARS = 128;   // including the terminator

bool SameName(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool IsThere(const HandheldImport& import) {
    return *import.slot != nullptr;
}

bool CanShowBox(const HandheldImport* imports) {
    for (const HandheldImport* import = imports; import->slot != nullptr; ++import) {
        if (SameName(import->name, MESSAGE_BOX_CALL)) {
            return IsThere(*import);
        }
    }
    return false;
}

void ShowMissingCall(const char* name) {
    // The names are ASCII: each character widens as it is.
    wchar_t wideName[CALL_NAME_CHARS];
    int length = 0;
    for (; name[length] != '\0' && length < CALL_NAME_CHARS - 1; ++length) {
        wideName[length] = static_cast<unsigned char>(name[length]);
    }
    wideName[length] = L'\0';
    wchar_t text[MESSAGE_CHARS];
    swprintf(text, MESSAGE_CHARS, MISSING_CALL_FORMAT, wideName);
    text[MESSAGE_CHARS - 1] = L'\0';
    MessageBoxW(nullptr, text, MESSAGE_BOX_CAPTION, MB_OK | MB_ICONERROR);
}

}  // namespace

const HandheldImport* FindMissingImport(const HandheldImport* imports) {
    for (const HandheldImport* import = imports; import->slot != nullptr; ++import) {
        if (!IsThere(*import)) {
            return import;
        }
    }
    return nullptr;
}

bool EveryImportIsThere() {
    const HandheldImport* missing = FindMissingImport(HANDHELD_IMPORTS);
    if (missing == nullptr) {
        return true;
    }
    if (CanShowBox(HANDHELD_IMPORTS)) {
        ShowMissingCall(missing->name);
    }
    return false;
}
