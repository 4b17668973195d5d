// The main dialog: two path fields, the direction, the progress bar and the three commands.
#include "veltrane_dlg.h"

#include "about_dlg.h"
#include "conversion_policy.h"
#include "conversion_run.h"
#include "dialog_services.h"
#include "dialog_template.h"
#include "dialog_units.h"
#include "disc/dvd_disc.h"
#include "languages.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QUrl>
#include <chrono>
#include <memory>

using namespace veltrane;
using namespace veltrane::res;

namespace {

// Paths reach the engine as narrow strings in the system's encoding, as the user typed or chose them.
std::string ToNative(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString FromNative(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

QString Message(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QLineEdit* Edit(const CVeltraneDlg& dialog, int id) {
    return qobject_cast<QLineEdit*>(dialog.GetDlgItem(id));
}

// Of what is dragged over the window only local files count, and of several the first.
std::optional<QString> FirstLocalFile(const QMimeData* data) {
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            return url.toLocalFile();
        }
    }
    return std::nullopt;
}

} // namespace

// Binds a run's progress to the bar. The run calls it on its own thread; each position is handed to the
// window's thread, at most once a frame so that the copy never waits for painting.
class CVeltraneDlg::RunProgress final : public ProgressSink {
public:
    explicit RunProgress(QProgressBar& bar) : m_bar(bar) {}

    void Begin() override {
        m_begun = true;
        Post([bar = &m_bar] {
            bar->setRange(0, PROGRESS_MAX);
            bar->setValue(0);
            bar->repaint(); // the reset shows even when the run's first position follows at once
        });
    }

    void Position(int position) override {
        m_pending = position;
        if (position == PROGRESS_MAX || Clock::now() - m_postedAt >= FRAME) {
            m_postedAt = Clock::now();
            Post([bar = &m_bar, position] { bar->setValue(position); });
        }
    }

    void End() override {}

    // On the window's thread once the run has returned: the last position reaches the screen before the
    // beep or the message, however the run ended.
    void ShowLast() {
        if (m_begun) {
            m_bar.setValue(m_pending);
            m_bar.repaint();
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto FRAME = std::chrono::microseconds(1'000'000 / 60);

    template <typename Show> void Post(Show show) {
        QMetaObject::invokeMethod(&m_bar, std::move(show), Qt::QueuedConnection);
    }

    QProgressBar& m_bar;
    bool m_begun = false;
    int m_pending = 0;
    Clock::time_point m_postedAt{};
};

CVeltraneDlg::CVeltraneDlg(DialogServices& services, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_services(services) {
    m_hIcon.addFile(QString::fromLatin1(ICON_32), QSize(32, 32));
    m_hIcon.addFile(QString::fromLatin1(ICON_16), QSize(16, 16));
    OnInitDialog();
}

CVeltraneDlg::~CVeltraneDlg() = default;

QWidget* CVeltraneDlg::GetDlgItem(int id) const {
    return FindControl(*this, id);
}

void CVeltraneDlg::OnInitDialog() {
    CreateTemplateControls(*this, IDD_MAIN_TEMPLATE);

    // The labels' mnemonics move the focus to the field beside each one.
    const auto labels = findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    labels.at(0)->setBuddy(GetDlgItem(IDC_SOURCE_PATH));
    labels.at(1)->setBuddy(GetDlgItem(IDC_DEST_PATH));

    connect(qobject_cast<QPushButton*>(GetDlgItem(IDC_BROWSE_SOURCE)), &QPushButton::clicked, this,
            &CVeltraneDlg::OnBrowseSource);
    connect(qobject_cast<QPushButton*>(GetDlgItem(IDC_BROWSE_DEST)), &QPushButton::clicked, this,
            &CVeltraneDlg::OnBrowseDest);
    connect(qobject_cast<QPushButton*>(GetDlgItem(IDC_RUN)), &QPushButton::clicked, this,
            &CVeltraneDlg::OnRun);
    connect(qobject_cast<QPushButton*>(GetDlgItem(IDCANCEL)), &QPushButton::clicked, this, &QDialog::reject);

    // Enter and Escape are swallowed wherever they are aimed in this window; child windows (the About
    // box, file dialogs, message boxes) are not watched and keep them.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
    // Files dropped on the fields reach them first (through the filter); on any other control, the
    // window.
    setAcceptDrops(true);

    setWindowIcon(m_hIcon);
    SetCheck(IDC_MODE_TO_16_9, true);
    m_progress = qobject_cast<QProgressBar*>(GetDlgItem(IDC_PROGRESS));
    DoDataExchange(false);
    GetDlgItem(IDC_SOURCE_PATH)->setFocus();
}

void CVeltraneDlg::DoDataExchange(bool saveAndValidate) {
    QLineEdit* source = Edit(*this, IDC_SOURCE_PATH);
    QLineEdit* dest = Edit(*this, IDC_DEST_PATH);
    if (saveAndValidate) {
        m_sourcePath = source->text();
        m_destPath = dest->text();
    } else {
        source->setText(m_sourcePath);
        dest->setText(m_destPath);
    }
}

void CVeltraneDlg::UpdateData(bool saveAndValidate) {
    DoDataExchange(saveAndValidate);
}

bool CVeltraneDlg::IsChecked(int radioId) const {
    return qobject_cast<QAbstractButton*>(GetDlgItem(radioId))->isChecked();
}

void CVeltraneDlg::SetCheck(int radioId, bool checked) {
    qobject_cast<QAbstractButton*>(GetDlgItem(radioId))->setChecked(checked);
}

bool CVeltraneDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove ||
        event->type() == QEvent::Drop) {
        return FilterDrop(watched, static_cast<QDropEvent*>(event));
    }
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

// A local file dropped onto the destination field becomes the destination; anywhere else in the window
// it becomes the source. Other drags (text into a field) are left to the control under them.
bool CVeltraneDlg::FilterDrop(QObject* watched, QDropEvent* event) {
    const std::optional<QString> file = FirstLocalFile(event->mimeData());
    // Never a move: a file manager would remove the file once the drop was accepted as one.
    const Qt::DropAction action =
        (event->possibleActions() & Qt::CopyAction) ? Qt::CopyAction : Qt::LinkAction;
    // Nor during a probe or a run, nor while a message box, the About box or a file dialog stands over the
    // window: it takes no input then.
    const QWidget* modal = QApplication::activeModalWidget();
    if (!file || m_busy || !(event->possibleActions() & action) || (modal && modal != this)) {
        return false;
    }
    event->setDropAction(action);
    event->accept();
    if (event->type() == QEvent::Drop) {
        // Taken once the drop is over, so that the file manager is not held waiting by a message box.
        const bool toDest = watched == GetDlgItem(IDC_DEST_PATH);
        QMetaObject::invokeMethod(
            this, [this, toDest, path = *file] { toDest ? OpenDest(path) : OpenSource(path); },
            Qt::QueuedConnection);
    }
    return true;
}

// Desktops other than Windows give a window no system menu to extend, so the About entry lives in the
// dialog's own context menu.
void CVeltraneDlg::contextMenuEvent(QContextMenuEvent* event) {
    const QString text = ResourceText(IDS_ABOUTBOX_TEXT);
    if (text.isEmpty()) {
        return;
    }
    QMenu menu(this);
    const QAction* about = menu.addAction(text);
    if (menu.exec(event->globalPos()) == about) {
        OnSysCommand(IDM_ABOUTBOX);
    }
}

// A close asked for during a probe or a run (the window manager's close button, a session's end) waits
// for its end, as all input does.
void CVeltraneDlg::closeEvent(QCloseEvent* event) {
    if (m_busy) {
        m_closeAsked = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void CVeltraneDlg::CloseIfAsked() {
    if (m_closeAsked) {
        m_closeAsked = false;
        close();
    }
}

// Runs `work` on a thread of its own. Meanwhile the window's thread repaints, keeps answering the window
// manager (which would otherwise offer to kill a window that stopped answering) and shows the busy
// cursor, but handles no input: what the user types or clicks waits in the queue until the work is done.
void CVeltraneDlg::RunAway(const std::function<void()>& work) {
    m_busy = true;
    m_services.BeginWaitCursor();
    QEventLoop loop;
    const std::unique_ptr<QThread> worker(QThread::create(work));
    connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    worker->start();
    if (worker->isRunning() || worker->isFinished()) {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        worker->wait();
    } else {
        work(); // no thread to be had: the window waits, as it would have without one
    }
    m_services.EndWaitCursor();
    m_busy = false;
}

void CVeltraneDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CVeltraneDlg::OnBrowseSource() {
    UpdateData(true);
    const std::optional<QString> chosen = m_services.ChooseSourcePath(this);
    if (chosen) {
        TakeSource(*chosen);
    }
}

void CVeltraneDlg::OnBrowseDest() {
    UpdateData(true);
    // A disc is written as a folder.
    const std::optional<QString> chosen = disc::DiscSourceOf(ToNative(m_sourcePath))
                                              ? m_services.ChooseDestFolder(this)
                                              : m_services.ChooseDestPath(this, DestExtension(m_sourcePath));
    if (chosen) {
        TakeDest(*chosen);
    }
}

void CVeltraneDlg::OpenSource(const QString& path) {
    UpdateData(true);
    TakeSource(path);
}

void CVeltraneDlg::OpenDest(const QString& path) {
    UpdateData(true);
    TakeDest(path);
}

void CVeltraneDlg::TakeSource(const QString& path) {
    m_sourcePath = path;
    ProbeOutcome outcome = ProbeOutcome::OpenFailed;
    std::string error;
    std::optional<std::string> disc;
    RunAway([&outcome, &error, &disc, native = ToNative(m_sourcePath)] {
        // A DVD folder's direction is its first title set's.
        if ((disc = disc::DiscSourceOf(native))) {
            disc::DiscFailure failure;
            outcome = disc::ProbeDisc(*disc, failure);
            error = failure.Text("\n");
            return;
        }
        int aspectCode = -1;
        FailureReason failure;
        outcome = ProbeForConversion(native, aspectCode, failure);
        error = FailureText(outcome, failure, "\n");
    });
    if (disc) {
        m_sourcePath = FromNative(*disc);
    }
    switch (outcome) {
    case ProbeOutcome::Aspect4x3:
        SetCheck(IDC_MODE_TO_4_3, false);
        SetCheck(IDC_MODE_TO_16_9, true);
        UpdateData(false);
        break;
    case ProbeOutcome::Aspect16x9:
        SetCheck(IDC_MODE_TO_4_3, true);
        SetCheck(IDC_MODE_TO_16_9, false);
        UpdateData(false);
        break;
    case ProbeOutcome::AspectUnknown:
        m_services.ShowError(this, Message(OutcomeText(outcome)));
        UpdateData(false);
        break;
    case ProbeOutcome::HeaderNotFound:
    case ProbeOutcome::OpenFailed:
    case ProbeOutcome::OutOfMemory:
        // The field keeps its old text, and that text, not the rejected file, is what the next run uses.
        m_services.ShowError(this, Message(error));
        break;
    }
    CloseIfAsked();
}

void CVeltraneDlg::TakeDest(const QString& path) {
    m_destPath = path;
    UpdateData(false);
}

void CVeltraneDlg::OnRun() {
    UpdateData(true);
    const ConversionMode mode = IsChecked(IDC_MODE_TO_4_3) ? ConversionMode::To4x3 : ConversionMode::To16x9;
    std::string error;
    std::string outputTaken;
    RunReport report;
    RunProgress progress(*m_progress);
    RunAway([&, source = ToNative(m_sourcePath), dest = ToNative(m_destPath)] {
        // A DVD folder goes as a whole into the destination folder, as the command line converts it.
        if (const std::optional<std::string> disc = disc::DiscSourceOf(source)) {
            disc::DiscRun run = disc::ConvertDiscInto(*disc, dest, mode, progress);
            error = std::move(run.error);
            outputTaken = std::move(run.outputTaken);
            report = run.total;
            return;
        }
        const RunOutcome outcome = RunConversion(source, dest, mode, progress, report);
        if (outcome != RunOutcome::Completed) {
            error = FailureText(outcome, report.failure, "\n");
        }
    });
    progress.ShowLast();
    if (!outputTaken.empty()) {
        // The window's own text, where the engine's is English.
        m_services.ShowError(this, ResourceText(IDS_DISC_OUTPUT_TAKEN_TEXT).arg(FromNative(outputTaken)));
    } else if (!error.empty()) {
        m_services.ShowError(this, Message(error));
    } else if (const std::optional<NothingRewritten> nothing = WhyNothingRewritten(report)) {
        // Not a failure: the copy was made, and the user may well have meant it.
        m_services.ShowInfo(this, ResourceText(*nothing == NothingRewritten::OtherAspectNotFound
                                                   ? IDS_OTHER_ASPECT_NOT_FOUND_TEXT
                                                   : IDS_NO_SEQUENCE_HEADER_TEXT));
    } else {
        m_services.Beep();
    }
    CloseIfAsked();
}
