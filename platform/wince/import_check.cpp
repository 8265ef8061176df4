#include "platform/wince/import_check.h"

#include <wchar.h>

#include "platform/wide_format.h"
#include "ui/main_window.h"

namespace {

const wchar_t MISSING_CALL_FORMAT[] = L"This handheld lacks %ls, which the update needs";
const wchar_t MESSAGE_BOX_CALL[] = L"MessageBoxW";

// A call's name is a C identifier: the text is far shorter than this.
constexpr int MESSAGE_CHARS = 128;  // including the terminator

bool IsThere(const HandheldImport& import) {
    return *import.slot != nullptr;
}

// The first import whose slot the loader left 0, or null when every one is filled.
const HandheldImport* FindMissingImport() {
    for (const HandheldImport* import = HANDHELD_IMPORTS; import->slot != nullptr; ++import) {
        if (!IsThere(*import)) {
            return import;
        }
    }
    return nullptr;
}

bool CanShowBox() {
    for (const HandheldImport* import = HANDHELD_IMPORTS; import->slot != nullptr; ++import) {
        // The count takes in the terminator: a longer name is another call.
        if (wcsncmp(import->name, MESSAGE_BOX_CALL, sizeof MESSAGE_BOX_CALL / sizeof(wchar_t)) ==
            0) {
            return IsThere(*import);
        }
    }
    return false;
}

void ShowMissingCall(const wchar_t* name) {
    wchar_t text[MESSAGE_CHARS];
    swprintf(text, MESSAGE_CHARS, MISSING_CALL_FORMAT, name);
    text[MESSAGE_CHARS - 1] = L'\0';
    MessageBoxW(nullptr, text, MESSAGE_BOX_CAPTION, MB_OK | MB_ICONERROR);
}

}  // namespace

bool EveryImportIsThere() {
    const HandheldImport* missing = FindMissingImport();
    if (missing == nullptr) {
        return true;
    }
    if (CanShowBox()) {
        ShowMissingCall(missing->name);
    }
    return false;
}
