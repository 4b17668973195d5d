// The real desktop behind the Windows dialog: common file dialogs, message boxes, the beep, the cursor.
#include "dialog_services.h"

#include "file_types.h"
#include "windows_text.h"

#include <algorithm>
#include <commdlg.h>
#include <shlobj.h>
#include <vector>

namespace veltrane {

namespace {

// Room for the longest path Windows allows, not just MAX_PATH.
constexpr DWORD PATH_CAPACITY = 32768;

// Neither dialog demands that the file or its folder exist: the probe or the run reports that.
constexpr DWORD FILE_DIALOG_FLAGS = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;

std::optional<std::wstring> Run(OPENFILENAMEW& dialog, std::vector<wchar_t>& path, bool save) {
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    if (!(save ? ::GetSaveFileNameW(&dialog) : ::GetOpenFileNameW(&dialog)))
        return std::nullopt;
    return std::wstring(path.data());
}

OPENFILENAMEW CommonDialog(HWND owner, const std::wstring& filter) {
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.Flags = FILE_DIALOG_FLAGS;
    return dialog;
}

} // namespace

std::wstring FileDialogFilter() {
    std::wstring shown;
    std::wstring patterns;
    for (const char* extension : res::MPEG_EXTENSIONS) {
        shown += (shown.empty() ? L"" : L"; ") + (L"*." + Widen(extension));
        patterns += (patterns.empty() ? L"" : L";") + (L"*." + Widen(extension));
    }
    std::wstring filter = Widen(res::MPEG_FILTER_NAME) + L" (" + shown + L")|" + patterns + L"|" +
                          Widen(res::ALL_FILES_FILTER_NAME) + L"|*.*||";
    std::replace(filter.begin(), filter.end(), L'|', L'\0');
    return filter;
}

std::wstring DestExtension(const std::wstring& sourcePath) {
    const std::size_t dot = sourcePath.find_last_of(L".\\/:");
    if (dot != std::wstring::npos && sourcePath[dot] == L'.') {
        const std::wstring suffix = sourcePath.substr(dot + 1);
        for (const char* extension : res::MPEG_EXTENSIONS) {
            if (::CompareStringOrdinal(suffix.c_str(), -1, Widen(extension).c_str(), -1, TRUE) == CSTR_EQUAL)
                return suffix;
        }
    }
    return Widen(res::MPEG_EXTENSIONS[0]);
}

std::optional<std::wstring> Win32DialogServices::ChooseSourcePath(HWND owner) {
    const std::wstring filter = FileDialogFilter();
    OPENFILENAMEW dialog = CommonDialog(owner, filter);
    std::vector<wchar_t> path(PATH_CAPACITY, L'\0');
    return Run(dialog, path, false);
}

std::optional<std::wstring> Win32DialogServices::ChooseDestPath(HWND owner, const std::wstring& extension) {
    const std::wstring filter = FileDialogFilter();
    OPENFILENAMEW dialog = CommonDialog(owner, filter);
    dialog.lpstrDefExt = extension.c_str();
    std::vector<wchar_t> path(PATH_CAPACITY, L'\0');
    const std::wstring initial = Widen(res::DEST_BASE_NAME) + L"." + extension;
    std::copy(initial.begin(), initial.end(), path.begin());
    return Run(dialog, path, true);
}

// The shell's folder browser, in the style that needs no COM apartment; its edit box takes a folder's
// name typed. A name for a folder not yet there goes into the destination field instead.
std::optional<std::wstring> Win32DialogServices::ChooseDestFolder(HWND owner) {
    BROWSEINFOW browse{};
    browse.hwndOwner = owner;
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX;
    const PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&browse);
    if (!chosen)
        return std::nullopt;
    std::vector<wchar_t> path(MAX_PATH, L'\0'); // what SHGetPathFromIDListW writes at most
    const bool named = ::SHGetPathFromIDListW(chosen, path.data());
    ::ILFree(chosen);
    return named ? std::optional(std::wstring(path.data())) : std::nullopt;
}

void Win32DialogServices::ShowError(HWND owner, const std::wstring& text) {
    ::MessageBoxW(owner, text.c_str(), L"error", MB_ICONHAND);
}

void Win32DialogServices::ShowInfo(HWND owner, const std::wstring& text) {
    ::MessageBoxW(owner, text.c_str(), L"Veltrane", MB_ICONINFORMATION);
}

void Win32DialogServices::Beep() {
    ::MessageBeep(0);
}

// The window takes no mouse input while the work lasts, so no WM_SETCURSOR comes to put the arrow back.
void Win32DialogServices::BeginWaitCursor() {
    m_restoreCursor = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
}

void Win32DialogServices::EndWaitCursor() {
    ::SetCursor(m_restoreCursor ? m_restoreCursor : ::LoadCursorW(nullptr, IDC_ARROW));
    m_restoreCursor = nullptr;
}

} // namespace veltrane
