// The main dialog: two path fields, the direction, the progress bar and the three commands.
#include "veltrane_dlg.h"

#include "about_dlg.h"
#include "conversion_policy.h"
#include "conversion_run.h"
#include "dialog_services.h"
#include "disc/dvd_disc.h"
#include "resource.h"
#include "windows_text.h"

#include <chrono>
#include <commctrl.h>
#include <optional>
#include <process.h>
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

// Binds a run's progress to the bar. The run calls it on its own thread and the positions are posted to
// the control, at most 25 times a second: each paint is a round trip to the display, and under wine
// painting every buffer-full made a run take 1.67 times as long as the engine alone (60 a second: 1.27;
// 25 a second: 1.06).
class CVeltraneDlg::RunProgress final : public ProgressSink {
public:
    explicit RunProgress(HWND bar) : m_bar(bar) {}

    void Begin() override {
        m_begun = true;
        ::PostMessageW(m_bar, PBM_SETRANGE, 0, MAKELPARAM(0, PROGRESS_MAX));
        Post(0);
    }

    void Position(int position) override {
        m_pending = position;
        if (position == PROGRESS_MAX || Clock::now() - m_postedAt >= FRAME)
            Post(position);
    }

    void End() override {}

    // On the window's thread once the run has returned and its posts are served: the last position always
    // reaches the bar, however the run ended.
    void ShowLast() {
        if (m_begun)
            ::SendMessageW(m_bar, PBM_SETPOS, static_cast<WPARAM>(m_pending), 0);
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto FRAME = std::chrono::milliseconds(40);

    void Post(int position) {
        ::PostMessageW(m_bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
        m_pending = position;
        m_postedAt = Clock::now();
    }

    HWND m_bar;
    bool m_begun = false;
    int m_pending = 0;
    Clock::time_point m_postedAt{};
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
    // A disc is written as a folder.
    const std::optional<std::wstring> chosen =
        disc::DiscSourceOf(Narrow(m_sourcePath))
            ? m_services.ChooseDestFolder(m_hWnd)
            : m_services.ChooseDestPath(m_hWnd, DestExtension(m_sourcePath));
    if (chosen)
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
    ProbeOutcome outcome = ProbeOutcome::OpenFailed;
    std::string error;
    std::optional<std::string> disc;
    RunAway([&outcome, &error, &disc, narrow = Narrow(m_sourcePath)] {
        // A DVD folder's direction is its first title set's.
        if ((disc = disc::DiscSourceOf(narrow))) {
            disc::DiscFailure failure;
            outcome = disc::ProbeDisc(*disc, failure);
            error = failure.Text("\n");
            return;
        }
        int aspectCode = -1;
        FailureReason failure;
        outcome = ProbeForConversion(narrow, aspectCode, failure);
        error = FailureText(outcome, failure, "\n");
    });
    if (disc)
        m_sourcePath = Widen(*disc);
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
        m_services.ShowError(m_hWnd, Widen(error));
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
    // Nor during a probe or a run, nor while a message box, the About box or a file dialog stands over the
    // window: it takes no input then.
    if (!got || m_busy || !::IsWindowEnabled(m_hWnd))
        return;
    const HWND target = inClient ? ::ChildWindowFromPointEx(m_hWnd, at, CWP_SKIPINVISIBLE) : nullptr;
    if (target == GetDlgItem(IDC_DEST_PATH))
        OpenDest(path);
    else
        OpenSource(path);
}

// Runs `work` on a thread of its own. Meanwhile this thread serves paints, timers, posted and sent
// messages, so the window repaints and Windows never takes it for hung (and puts a "Not Responding"
// ghost in its place), but no input: keys and clicks wait in the queue until the work is done. A close
// asked for meanwhile (from the taskbar) ends the dialog's loop once this returns.
void CVeltraneDlg::RunAway(const std::function<void()>& work) {
    m_busy = true;
    m_services.BeginWaitCursor();
    const auto run = [](void* argument) -> unsigned {
        (*static_cast<const std::function<void()>*>(argument))();
        return 0;
    };
    const auto thread = reinterpret_cast<HANDLE>(
        ::_beginthreadex(nullptr, 0, run, const_cast<std::function<void()>*>(&work), 0, nullptr));
    if (!thread) {
        work(); // no thread to be had: the window waits, as it would have without one
    } else {
        constexpr UINT SERVED = QS_PAINT | QS_POSTMESSAGE | QS_TIMER | QS_SENDMESSAGE;
        std::optional<WPARAM> quit;
        for (bool finished = false; !finished;) {
            // Woken at least every 100 ms: a thread that looks at its queue is never counted as hung.
            finished = ::MsgWaitForMultipleObjects(1, &thread, FALSE, 100, SERVED) == WAIT_OBJECT_0;
            // Also once after the end, so that every position the run posted reaches the bar first.
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0,
                                  PM_REMOVE | PM_QS_PAINT | PM_QS_POSTMESSAGE | PM_QS_SENDMESSAGE)) {
                if (msg.message == WM_QUIT)
                    quit = msg.wParam;
                else
                    ::DispatchMessageW(&msg);
            }
        }
        ::CloseHandle(thread);
        if (quit)
            ::PostQuitMessage(static_cast<int>(*quit)); // for the loop that owns it
    }
    m_services.EndWaitCursor();
    m_busy = false;
}

void CVeltraneDlg::OnRun() {
    UpdateData(TRUE);
    const ConversionMode mode =
        ::SendDlgItemMessageW(m_hWnd, IDC_MODE_TO_4_3, BM_GETCHECK, 0, 0) == BST_CHECKED
            ? ConversionMode::To4x3
            : ConversionMode::To16x9;
    std::string error;
    std::string outputTaken;
    RunReport report;
    RunProgress progress(m_progress);
    RunAway([&, source = Narrow(m_sourcePath), dest = Narrow(m_destPath)] {
        // A DVD folder goes as a whole into the destination folder, as the command line converts it.
        if (const std::optional<std::string> disc = disc::DiscSourceOf(source)) {
            disc::DiscRun run = disc::ConvertDiscInto(*disc, dest, mode, progress);
            error = std::move(run.error);
            outputTaken = std::move(run.outputTaken);
            report = run.total;
            return;
        }
        const RunOutcome outcome = RunConversion(source, dest, mode, progress, report);
        if (outcome != RunOutcome::Completed)
            error = FailureText(outcome, report.failure, "\n");
    });
    progress.ShowLast();
    if (!outputTaken.empty()) {
        // The window's own text, where the engine's is English.
        wchar_t text[512] = {};
        ::LoadStringW(::GetModuleHandleW(nullptr), IDS_DISC_OUTPUT_TAKEN, text, 512);
        std::wstring message = text;
        if (const std::size_t at = message.find(L"%1"); at != std::wstring::npos)
            message.replace(at, 2, Widen(outputTaken));
        m_services.ShowError(m_hWnd, message);
    } else if (!error.empty()) {
        m_services.ShowError(m_hWnd, Widen(error));
    } else if (const std::optional<NothingRewritten> nothing = WhyNothingRewritten(report)) {
        // Not a failure: the copy was made, and the user may well have meant it.
        wchar_t text[512] = {};
        ::LoadStringW(::GetModuleHandleW(nullptr),
                      *nothing == NothingRewritten::OtherAspectNotFound ? IDS_OTHER_ASPECT_NOT_FOUND
                                                                        : IDS_NO_SEQUENCE_HEADER,
                      text, 512);
        m_services.ShowInfo(m_hWnd, text);
    } else {
        m_services.Beep();
    }
}
