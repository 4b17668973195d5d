// Times a conversion started from the dialog's run button against RunConversion alone, in alternating rounds.
// Usage: dialog_bench <source> <output-folder> [rounds]   (meant for QT_QPA_PLATFORM=offscreen)
#include "conversion_run.h"
#include "dialog_services.h"
#include "dialog_template.h"
#include "veltrane_dlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QLineEdit>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double wall;
    double cpu;
};

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

template <typename Work> Sample Measure(Work work) {
    const double cpu = CpuSeconds();
    const Clock::time_point start = Clock::now();
    work();
    return {std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpu};
}

class QuietSink : public veltrane::ProgressSink {
public:
    void Begin() override {}
    void Position(int) override {}
    void End() override {}
};

// Counts the progress bar's paints, to show how often the run put a position on the screen.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

// The desktop of a run: nothing is chosen and nothing goes wrong, so only the cursor and beep are real.
class BenchServices final : public veltrane::DialogServices {
public:
    int errors = 0;
    std::optional<QString> ChooseSourcePath(QWidget*) override { return std::nullopt; }
    std::optional<QString> ChooseDestPath(QWidget*, const QString&) override { return std::nullopt; }
    void ShowError(QWidget*, const QString& text) override {
        ++errors;
        std::fprintf(stderr, "dialog_bench: %s\n", qPrintable(text));
    }
    void ShowInfo(QWidget* owner, const QString& text) override { ShowError(owner, text); }
    void Beep() override { m_real.Beep(); }
    void BeginWaitCursor() override { m_real.BeginWaitCursor(); }
    void EndWaitCursor() override { m_real.EndWaitCursor(); }

private:
    veltrane::QtDialogServices m_real;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: dialog_bench <source> <output-folder> [rounds]\n");
        return 2;
    }
    const std::string source = argv[1];
    const std::string output = std::string(argv[2]) + "/veltrane-dialog-bench-out.mpg";
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    BenchServices services;
    CVeltraneDlg dialog(services);
    dialog.show();
    for (int wait = 0; wait < 500 && !dialog.windowHandle()->isExposed(); ++wait) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    if (!dialog.windowHandle()->isExposed()) {
        std::fprintf(stderr, "dialog_bench: the dialog never showed\n");
        return 1;
    }
    using namespace veltrane::res;
    qobject_cast<QLineEdit*>(dialog.GetDlgItem(IDC_SOURCE_PATH))->setText(QString::fromStdString(source));
    qobject_cast<QLineEdit*>(dialog.GetDlgItem(IDC_DEST_PATH))->setText(QString::fromStdString(output));
    PaintCounter counter;
    dialog.GetDlgItem(IDC_PROGRESS)->installEventFilter(&counter);
    auto* run = qobject_cast<QAbstractButton*>(dialog.GetDlgItem(IDC_RUN));

    std::vector<double> engineWall, engineCpu, dialogWall, dialogCpu;
    std::vector<double> paintRates;
    for (int round = 0; round < rounds; ++round) {
        const Sample engine = Measure([&] {
            QuietSink sink;
            if (veltrane::RunConversion(source, output, veltrane::ConversionMode::To16x9, sink) !=
                veltrane::RunOutcome::Completed) {
                std::fprintf(stderr, "dialog_bench: the engine run failed\n");
                std::exit(1);
            }
        });
        counter.paints = 0;
        const Sample shown = Measure([&] { run->click(); });
        if (services.errors != 0) {
            return 1;
        }
        engineWall.push_back(engine.wall);
        engineCpu.push_back(engine.cpu);
        dialogWall.push_back(shown.wall);
        dialogCpu.push_back(shown.cpu);
        paintRates.push_back(counter.paints / shown.wall);
        std::printf(
            "round %d: engine %.3f s (cpu %.3f s), dialog %.3f s (cpu %.3f s), %d paints of the bar\n",
            round + 1, engine.wall, engine.cpu, shown.wall, shown.cpu, counter.paints);
    }
    std::remove(output.c_str());

    std::printf("median wall: engine %.3f s, dialog %.3f s, ratio %.3f\n", Median(engineWall),
                Median(dialogWall), Median(dialogWall) / Median(engineWall));
    std::printf("median cpu:  engine %.3f s, dialog %.3f s, ratio %.3f\n", Median(engineCpu),
                Median(dialogCpu), Median(dialogCpu) / Median(engineCpu));
    std::printf("progress bar paints: median %.1f a second (limit about 60)\n", Median(paintRates));
    return 0;
}
