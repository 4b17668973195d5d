// What the Windows dialog asks of the desktop: file choices, error boxes, the beep and the busy cursor.
#pragma once

#include "dialog.h"

#include <optional>
#include <string>

namespace veltrane {

// The dialog reaches everything modal or audible through this seam, so that tests can script it.
class DialogServices {
public:
    virtual ~DialogServices() = default;
    // The chosen full path, or nothing when the user cancels.
    virtual std::optional<std::wstring> ChooseSourcePath(HWND owner) = 0;
    // `extension`: the one the save dialog suggests and appends to a name typed without one.
    virtual std::optional<std::wstring> ChooseDestPath(HWND owner, const std::wstring& extension) = 0;
    // The folder a disc is written as.
    virtual std::optional<std::wstring> ChooseDestFolder(HWND owner) = 0;
    virtual void ShowError(HWND owner, const std::wstring& text) = 0;
    // A notice that is not a failure: an information box captioned with the program's name.
    virtual void ShowInfo(HWND owner, const std::wstring& text) = 0;
    virtual void Beep() = 0;
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;
};

// The real desktop: the common file dialogs, MessageBox, MessageBeep and the wait cursor.
class Win32DialogServices final : public DialogServices {
public:
    std::optional<std::wstring> ChooseSourcePath(HWND owner) override;
    std::optional<std::wstring> ChooseDestPath(HWND owner, const std::wstring& extension) override;
    std::optional<std::wstring> ChooseDestFolder(HWND owner) override;
    void ShowError(HWND owner, const std::wstring& text) override;
    void ShowInfo(HWND owner, const std::wstring& text) override;
    void Beep() override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;

private:
    HCURSOR m_restoreCursor = nullptr;
};

// The file-type filter of both file dialogs, in the common dialogs' form: pairs of strings, each ended
// by a NUL, and an empty string at the end.
std::wstring FileDialogFilter();

// The destination's extension for a source: the source's own when it is a type the engine reads, so that
// a transport stream stays one by name, else the first of those types.
std::wstring DestExtension(const std::wstring& sourcePath);

} // namespace veltrane
