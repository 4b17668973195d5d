// The main dialog: two path fields, the direction, the progress bar and the three commands.
#pragma once

#include "dialog.h"

#include <string>

namespace veltrane {
class DialogServices;
}

class CVeltraneDlg final : public CDialog {
public:
    explicit CVeltraneDlg(veltrane::DialogServices& services);

    // Moves text between the two path fields and m_sourcePath/m_destPath: fields into members when
    // `saveAndValidate`, members into fields otherwise.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

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
    void OnPaint();
    HICON OnQueryDragIcon() const { return m_hIcon; }

    veltrane::DialogServices& m_services;
    HWND m_progress = nullptr;
    std::wstring m_sourcePath;
    std::wstring m_destPath;
    HICON m_hIcon;
};
