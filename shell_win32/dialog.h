// The little of a dialog framework the program needs: a dialog object on a resource template, its own
// modal loop with a PreTranslateMessage step, and OK/Cancel handling.
#pragma once

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

class CDialog {
public:
    CDialog(int templateId, CDialog* parent);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Shows the dialog over its parent (disabled meanwhile) and runs messages until EndDialog.
    INT_PTR DoModal();
    // Creates the window without running it, as a modeless dialog; false on failure.
    bool Create(HWND owner);
    void EndDialog(INT_PTR result);

    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

    // Sees every message of the modal loop before the dialog manager does; true swallows it.
    virtual BOOL PreTranslateMessage(MSG* msg);

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // The message map: true when handled, with `result` as the dialog procedure's return value.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    int m_templateId;
    CDialog* m_parent;
    bool m_modal = false;
    INT_PTR m_result = IDCANCEL;
};
