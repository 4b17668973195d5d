// The main dialog: two path fields, the direction, the progress bar and the three commands.
#pragma once

#include "dialog.h"

#include <functional>
#include <shellapi.h> // after windows.h, which dialog.h brings
#include <string>

namespace veltrane {
class DialogServices;
}

class CVeltraneDlg final : public CDialog {
public:
    // `argument`: a file to open as the source once the window is up (the program's argument), or empty.
    explicit CVeltraneDlg(veltrane::DialogServices& services, std::wstring argument = {});

    // Moves text between the two path fields and m_sourcePath/m_destPath: fields into members when
    // `saveAndValidate`, members into fields otherwise.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    // Take `path` as the source or the destination exactly as if it had been chosen with that field's
    // browse button; the program's argument and dropped files come in here.
    void OpenSource(const std::wstring& path);
    void OpenDest(const std::wstring& path);

    void OnBrowseSource();
    void OnBrowseDest();
    void OnRun();
    void OnSysCommand(UINT id, LPARAM param);

    // Enter and Escape aimed at this window or any of its controls never reach the dialog manager.
    BOOL PreTranslateMessage(MSG* msg) override;

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    class RunProgress;

    void DoDataExchange(BOOL saveAndValidate);
    void TakeSource(const std::wstring& path);
    void TakeDest(const std::wstring& path);
    void OnDropFiles(HDROP drop);
    void RunAway(const std::function<void()>& work);
    void OnPaint();
    HICON OnQueryDragIcon() const { return m_hIcon; }

    veltrane::DialogServices& m_services;
    std::wstring m_argument;
    HWND m_progress = nullptr;
    std::wstring m_sourcePath;
    std::wstring m_destPath;
    HICON m_hIcon;
    bool m_busy = false; // a probe or a run is under way on its own thread
};
