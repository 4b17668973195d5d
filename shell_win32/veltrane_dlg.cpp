// The main dialog: two path fields, the direction, the progress bar and the three commands.
#include "veltrane_dlg.h"

#include "about_dlg.h"
#include "conversion_run.h"
#include "dialog_services.h"
#include "resource.h"
#include "source_probe.h"
#include "windows_text.h"

#include <chrono>
#include <commctrl.h>
#include <shellapi.h>
#include <utility>
#include <vector>

using namespace veltrane;

namespace {

// Posted to itself by a dialog started with a file, to open it once the window is up.
constexpr UINT WM_OPEN_ARGUMENT = WM_APP + 1;

std::wstring WindowText(HWND window) {
    std::vector<wchar_t> text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    return text.data();
}

} // namespace

// Binds a run's progress to the bar and the busy cursor. The progress control paints each new position
// at once, so the bar moves while the run holds the thread. Positions are handed to it at most 25 times
// a second: each paint is a round trip to the display, and under wine painting every buffer-full made a
// run take 1.67 times as long as the engine alone (60 a second: 1.27; 25 a second: 1.06).
class CVeltraneDlg::RunProgress final : public ProgressSink {
public:
    explicit RunProgress(CVeltraneDlg& dialog) : m_dialog(dialog) {}

    // The busy cursor lasts until the run returns, also when it fails part-way and End never comes.
    ~RunProgress() override {
        if (m_waiting)
            m_dialog.m_services.EndWaitCursor();
    }
    RunProgress(const RunProgress&) = delete;
    RunProgress& operator=(const RunProgress&) = delete;

    void Begin() override {
        ::SendMessageW(m_dialog.m_progress, PBM_SETRANGE, 0, MAKELPARAM(0, PROGRESS_MAX));
        Show(0);
        m_dialog.m_services.BeginWaitCursor();
        m_waiting = true;
    }

    void Position(int position) override {
        m_pending = position;
        if (position == PROGRESS_MAX || Clock::now() - m_shownAt >= FRAME)
            Show(position);
    }

    // The beep waits for the run's report: a run that changed nothing is told, not sounded.
    void End() override {
        ShowPending();
        m_dialog.m_services.EndWaitCursor();
        m_waiting = false;
    }

    // The last position always reaches the bar, however the run ended.
    void ShowPending() {
        if (m_pending != m_shown)
            Show(m_pending);
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto FRAME = std::chrono::milliseconds(40);

    void Show(int position) {
        ::SendMessageW(m_dialog.m_progress, PBM_SETPOS, position, 0);
        m_shown = position;
        m_pending = position;
        m_shownAt = Clock::now();
    }

    CVeltraneDlg& m_dialog;
    bool m_waiting = false;
    int m_shown = -1;
    int m_pending = -1;
    Clock::time_point m_shownAt{};
};

CVeltraneDlg::CVeltraneDlg(DialogServices& services, std::wstring argument)
    : CDialog(IDD_MAIN, nullptr), m_services(services), m_argument(std::move(argument)),
      m_hIcon(::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))) {}

BOOL CVeltraneDlg::OnInitDialog() {
    m_progress = GetDlgItem(IDC_PROGRESS);
    DoDataExchange(FALSE);

    if (const HMENU systemMenu = ::GetSystemMenu(m_hWnd, FALSE)) {
        wchar_t about[256] = {};
        if (::LoadStringW(::GetModuleHandleW(nullptr), IDS_ABOUTBOX, about, 256) > 0) {
            ::AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendDlgItemMessageW(m_hWnd, IDC_MODE_TO_16_9, BM_SETCHECK, BST_CHECKED, 0);
    ::DragAcceptFiles(m_hWnd, TRUE);
    // Opened once the window is up and running, so that a failed probe's message box stands over it.
    if (!m_argument.empty())
        ::PostMessageW(m_hWnd, WM_OPEN_ARGUMENT, 0, 0);
    return TRUE; // the focus goes to the first tab stop, the source field
}

// The message map.
bool CVeltraneDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
    switch (message) {
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) != IDM_ABOUTBOX)
            return false; // move, close and the rest: the default processing
        OnSysCommand(static_cast<UINT>(wParam), lParam);
        result = TRUE;
        return true;
    case WM_PAINT:
        if (!::IsIconic(m_hWnd))
            return false;
        OnPaint();
        result = TRUE;
        return true;
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<INT_PTR>(OnQueryDragIcon());
        return true;
    case WM_DROPFILES:
        OnDropFiles(reinterpret_cast<HDROP>(wParam));
        return true;
    case WM_OPEN_ARGUMENT:
        OpenSource(m_argument);
        return true;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED)
            return false;
        switch (LOWORD(wParam)) {
        case IDC_BROWSE_SOURCE:
            OnBrowseSource();
            return true;
        case IDC_BROWSE_DEST:
            OnBrowseDest();
            return true;
        case IDC_RUN:
            OnRun();
            return true;
        }
        return false;
    }
    return false;
}

void CVeltraneDlg::DoDataExchange(BOOL saveAndValidate) {
    if (saveAndValidate) {
        m_sourcePath = WindowText(GetDlgItem(IDC_SOURCE_PATH));
        m_destPath = WindowText(GetDlgItem(IDC_DEST_PATH));
    } else {
        ::SetDlgItemTextW(m_hWnd, IDC_SOURCE_PATH, m_sourcePath.c_str());
        ::SetDlgItemTextW(m_hWnd, IDC_DEST_PATH, m_destPath.c_str());
    }
}

BOOL CVeltraneDlg::UpdateData(BOOL saveAndValidate) {
    DoDataExchange(saveAndValidate);
    return TRUE;
}

BOOL CVeltraneDlg::PreTranslateMessage(MSG* msg) {
    if (msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE) &&
        (msg->hwnd == m_hWnd || ::IsChild(m_hWnd, msg->hwnd)))
        return TRUE;
    return CDialog::PreTranslateMessage(msg);
}

void CVeltraneDlg::OnSysCommand(UINT id, LPARAM /*param*/) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.DoModal();
    }
}

// Minimised (by anything but its own caption, which has no minimise box), the window shows its icon.
void CVeltraneDlg::OnPaint() {
    PAINTSTRUCT paint;
    const HDC dc = ::BeginPaint(m_hWnd, &paint);
    ::SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &paint);
}

void CVeltraneDlg::OnBrowseSource() {
    UpdateData(TRUE);
    if (const std::optional<std::wstring> chosen = m_services.ChooseSourcePath(m_hWnd))
        TakeSource(*chosen);
}

void CVeltraneDlg::OnBrowseDest() {
    UpdateData(TRUE);
    if (const std::optional<std::wstring> chosen = m_services.ChooseDestPath(m_hWnd))
        TakeDest(*chosen);
}

void CVeltraneDlg::OpenSource(const std::wstring& path) {
    UpdateData(TRUE);
    TakeSource(path);
}

void CVeltraneDlg::OpenDest(const std::wstring& path) {
    UpdateData(TRUE);
    TakeDest(path);
}

void CVeltraneDlg::TakeSource(const std::wstring& path) {
    m_sourcePath = path;
    const ProbeOutcome outcome = ProbeSourceAspect(Narrow(m_sourcePath));
    switch (outcome) {
    case ProbeOutcome::Aspect4x3:
        ::SendDlgItemMessageW(m_hWnd, IDC_MODE_TO_4_3, BM_SETCHECK, BST_UNCHECKED, 0);
        ::SendDlgItemMessageW(m_hWnd, IDC_MODE_TO_16_9, BM_SETCHECK, BST_CHECKED, 0);
        UpdateData(FALSE);
        break;
    case ProbeOutcome::Aspect16x9:
        ::SendDlgItemMessageW(m_hWnd, IDC_MODE_TO_4_3, BM_SETCHECK, BST_CHECKED, 0);
        ::SendDlgItemMessageW(m_hWnd, IDC_MODE_TO_16_9, BM_SETCHECK, BST_UNCHECKED, 0);
        UpdateData(FALSE);
        break;
    case ProbeOutcome::AspectUnknown:
        m_services.ShowError(m_hWnd, Widen(OutcomeText(outcome)));
        UpdateData(FALSE);
        break;
    case ProbeOutcome::HeaderNotFound:
    case ProbeOutcome::OpenFailed:
    case ProbeOutcome::OutOfMemory:
        // The field keeps its old text, and that text, not the rejected file, is what the next run uses.
        m_services.ShowError(m_hWnd, Widen(OutcomeText(outcome)));
        break;
    }
}

void CVeltraneDlg::TakeDest(const std::wstring& path) {
    m_destPath = path;
    UpdateData(FALSE);
}

// A file dropped onto the destination field becomes the destination; anywhere else in the window, the
// source. Only the first of several files counts.
void CVeltraneDlg::OnDropFiles(HDROP drop) {
    POINT at{};
    const bool inClient = ::DragQueryPoint(drop, &at) != 0;
    std::wstring path(static_cast<std::size_t>(::DragQueryFileW(drop, 0, nullptr, 0)), L'\0');
    const bool got =
        !path.empty() && ::DragQueryFileW(drop, 0, path.data(), static_cast<UINT>(path.size() + 1)) > 0;
    ::DragFinish(drop);
    // Nor while a message box, the About box or a file dialog stands over the window: it takes no input then.
    if (!got || !::IsWindowEnabled(m_hWnd))
        return;
    const HWND target = inClient ? ::ChildWindowFromPointEx(m_hWnd, at, CWP_SKIPINVISIBLE) : nullptr;
    if (target == GetDlgItem(IDC_DEST_PATH))
        OpenDest(path);
    else
        OpenSource(path);
}

void CVeltraneDlg::OnRun() {
    UpdateData(TRUE);
    const ConversionMode mode =
        ::SendDlgItemMessageW(m_hWnd, IDC_MODE_TO_4_3, BM_GETCHECK, 0, 0) == BST_CHECKED
            ? ConversionMode::To4x3
            : ConversionMode::To16x9;
    RunOutcome outcome = RunOutcome::Completed;
    RunReport report;
    {
        RunProgress progress(*this);
        outcome = RunConversion(Narrow(m_sourcePath), Narrow(m_destPath), mode, progress, report);
        progress.ShowPending();
    }
    if (outcome != RunOutcome::Completed)
        m_services.ShowError(m_hWnd, Widen(FailureText(outcome, report.failure, "\n")));
    else if (const std::optional<NothingRewritten> nothing = WhyNothingRewritten(report))
        m_services.ShowError(m_hWnd, Widen(OutcomeText(*nothing)));
    else
        m_services.Beep();
}
