// The little of a dialog framework the program needs: a dialog object on a resource template, its own
// modal loop with a PreTranslateMessage step, and OK/Cancel handling.
#include "dialog.h"

CDialog::CDialog(int templateId, CDialog* parent) : m_templateId(templateId), m_parent(parent) {}

CDialog::~CDialog() {
    if (m_hWnd) {
        ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
        ::DestroyWindow(m_hWnd);
    }
}

bool CDialog::Create(HWND owner) {
    const HWND hwnd = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_templateId), owner,
                                           DialogProc, reinterpret_cast<LPARAM>(this));
    return hwnd != nullptr;
}

// The dialog manager's own modal loop has no step for PreTranslateMessage, so the dialog runs
// modeless inside a loop of its own, with its owner disabled as a modal one would have it.
INT_PTR CDialog::DoModal() {
    const HWND owner = m_parent ? m_parent->m_hWnd : nullptr;
    if (!Create(owner))
        return -1;
    if (owner)
        ::EnableWindow(owner, FALSE);
    ::ShowWindow(m_hWnd, SW_SHOW);
    m_modal = true;
    MSG msg;
    while (m_modal) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            ::PostQuitMessage(static_cast<int>(msg.wParam)); // for the loop outside this one
            break;
        }
        if (got == -1)
            break;
        if (!PreTranslateMessage(&msg) && !::IsDialogMessageW(m_hWnd, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    // The owner comes back before this window goes, so that activation returns to it.
    if (owner) {
        ::EnableWindow(owner, TRUE);
        ::SetActiveWindow(owner);
    }
    ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
    ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    return m_result;
}

void CDialog::EndDialog(INT_PTR result) {
    m_result = result;
    m_modal = false;
}

BOOL CDialog::PreTranslateMessage(MSG*) {
    return FALSE;
}

bool CDialog::OnMessage(UINT, WPARAM, LPARAM, INT_PTR&) {
    return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_INITDIALOG) {
        dialog = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
        dialog->m_hWnd = hwnd;
        return dialog->OnInitDialog();
    }
    if (!dialog)
        return FALSE;
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            dialog->OnOK();
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            dialog->OnCancel();
            return TRUE;
        }
    }
    INT_PTR result = FALSE;
    return dialog->OnMessage(message, wParam, lParam, result) ? result : FALSE;
}
