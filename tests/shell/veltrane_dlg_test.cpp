// Drives the real main dialog through a scripted desktop: source choice, destination, runs, keys, About.
#include "about_dlg.h"
#include "conversion_run.h"
#include "dialog_template.h"
#include "scripted_services.h"
#include "veltrane_dlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace veltrane::res;

namespace {

QString Media(const char* name) {
    return QStringLiteral(VELTRANE_TEST_DATA_DIR "/") + QString::fromLatin1(name);
}

QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

#ifdef __linux__
// Swaps the descriptor that has `path` open for one on a folder, so that its next read fails.
void BreakReadsOf(const QString& path) {
    const QByteArray target = QFile::encodeName(QFileInfo(path).canonicalFilePath());
    for (const QString& fd :
         QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System)) {
        char link[4096];
        const ssize_t size = ::readlink(("/proc/self/fd/" + fd.toStdString()).c_str(), link, sizeof link);
        if (size > 0 && QByteArray(link, size) == target) {
            const int folder = ::open("/", O_RDONLY | O_DIRECTORY);
            ::dup2(folder, fd.toInt());
            ::close(folder);
        }
    }
}
#endif

enum class Radio { To16x9, To4x3 };

// The values a progress bar showed each time it was painted.
class PaintLog : public QObject {
public:
    QList<int> painted;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            painted << qobject_cast<QProgressBar*>(watched)->value();
        }
        return false;
    }
};

} // namespace

Q_DECLARE_METATYPE(Radio)

class DialogTest : public QObject {
    Q_OBJECT

private:
    ScriptedServices m_services;
    std::unique_ptr<CVeltraneDlg> m_dlg;
    QTemporaryDir m_dir;

    QLineEdit* Field(int id) const { return qobject_cast<QLineEdit*>(m_dlg->GetDlgItem(id)); }
    QAbstractButton* Button(int id) const { return qobject_cast<QAbstractButton*>(m_dlg->GetDlgItem(id)); }
    QProgressBar* Progress() const { return qobject_cast<QProgressBar*>(m_dlg->GetDlgItem(IDC_PROGRESS)); }
    QString Temp(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    void Check(Radio radio) { Button(radio == Radio::To4x3 ? IDC_MODE_TO_4_3 : IDC_MODE_TO_16_9)->click(); }
    Radio Checked() const {
        const bool to16x9 = Button(IDC_MODE_TO_16_9)->isChecked();
        const bool to4x3 = Button(IDC_MODE_TO_4_3)->isChecked();
        if (to16x9 == to4x3) {
            qFatal("the two radio buttons disagree");
        }
        return to4x3 ? Radio::To4x3 : Radio::To16x9;
    }

private slots:
    void init() {
        m_services = ScriptedServices();
        m_dlg = std::make_unique<CVeltraneDlg>(m_services);
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }
    void cleanup() { m_dlg.reset(); }

    void startsEmptyInTo16x9() {
        QCOMPARE(m_dlg->windowTitle(), QStringLiteral("Veltrane"));
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(), QString());
        QCOMPARE(Field(IDC_DEST_PATH)->text(), QString());
        QCOMPARE(Checked(), Radio::To16x9);
        QCOMPARE(Progress()->value(), 0);
        QVERIFY(!Progress()->isTextVisible());
        QCOMPARE(m_dlg->minimumSize(), m_dlg->maximumSize());
        QVERIFY(!m_dlg->windowIcon().isNull());
        QCOMPARE(QApplication::focusWidget(), Field(IDC_SOURCE_PATH));
        for (QPushButton* button : m_dlg->findChildren<QPushButton*>()) {
            QVERIFY2(!button->isDefault() && !button->autoDefault(), qPrintable(button->text()));
        }
    }

    void tabSkipsTheRadioButtons() {
        const int expected[] = {IDC_SOURCE_PATH, IDC_BROWSE_SOURCE, IDC_DEST_PATH,  IDC_BROWSE_DEST,
                                IDC_RUN,         IDCANCEL,          IDC_SOURCE_PATH};
        for (int id : expected) {
            QCOMPARE(QApplication::focusWidget(), m_dlg->GetDlgItem(id));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
    }

    void sourceChoiceSetsDirection_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<Radio>("before");
        QTest::addColumn<Radio>("after");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("fieldShowsPath");

        QTest::newRow("4:3 elementary stream")
            << Media("mpeg2_4x3.m2v") << Radio::To4x3 << Radio::To16x9 << "" << true;
        QTest::newRow("4:3 program stream")
            << Media("mpeg2_ps_4x3.mpg") << Radio::To4x3 << Radio::To16x9 << "" << true;
        QTest::newRow("16:9 elementary stream")
            << Media("mpeg2_16x9.m2v") << Radio::To16x9 << Radio::To4x3 << "" << true;
        QTest::newRow("16:9 transport stream")
            << Media("mpeg2_ts_16x9.ts") << Radio::To16x9 << Radio::To4x3 << "" << true;
        QTest::newRow("unknown aspect keeps the direction")
            << Media("mpeg1_vcd_4x3.m1v") << Radio::To4x3 << Radio::To4x3 << "unknown aspect ratio" << true;
        QTest::newRow("no sequence header") << QStringLiteral("zeros") << Radio::To4x3 << Radio::To4x3
                                            << "can't find seqence_header" << false;
        QTest::newRow("file that does not exist")
            << QStringLiteral("missing") << Radio::To4x3 << Radio::To4x3 << "file open error" << false;
    }
    void sourceChoiceSetsDirection() {
        QFETCH(QString, path);
        QFETCH(Radio, before);
        QFETCH(Radio, after);
        QFETCH(QString, error);
        QFETCH(bool, fieldShowsPath);
        Write(Temp("zeros"), QByteArray(2 * veltrane::CHUNK_SIZE, '\0'));
        if (!path.startsWith(QLatin1Char('/'))) {
            path = Temp(qPrintable(path));
        }

        Check(before);
        Field(IDC_SOURCE_PATH)->setText(QStringLiteral("typed.mpg"));
        m_services.sourceChoices = {path};
        Button(IDC_BROWSE_SOURCE)->click();

        QCOMPARE(Checked(), after);
        QCOMPARE(m_services.errors, error.isEmpty() ? QStringList() : QStringList{error});
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(), fieldShowsPath ? path : QStringLiteral("typed.mpg"));
    }

    void cancelledChoicesChangeNothing() {
        Field(IDC_SOURCE_PATH)->setText(QStringLiteral("a.mpg"));
        Field(IDC_DEST_PATH)->setText(QStringLiteral("b.mpg"));
        Check(Radio::To4x3);
        Button(IDC_BROWSE_SOURCE)->click();
        Button(IDC_BROWSE_DEST)->click();
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(), QStringLiteral("a.mpg"));
        QCOMPARE(Field(IDC_DEST_PATH)->text(), QStringLiteral("b.mpg"));
        QCOMPARE(Checked(), Radio::To4x3);
        QVERIFY(m_services.errors.isEmpty());
    }

    void typedDestinationSurvivesSourceChoice() {
        QTest::keyClicks(Field(IDC_DEST_PATH), QStringLiteral("/tmp/typed.mpg"));
        m_services.sourceChoices = {Media("mpeg2_16x9.m2v")};
        Button(IDC_BROWSE_SOURCE)->click();
        QCOMPARE(Field(IDC_DEST_PATH)->text(), QStringLiteral("/tmp/typed.mpg"));

        m_services.destChoices = {Temp("chosen.mpg")};
        QTest::keyClicks(Field(IDC_SOURCE_PATH), QStringLiteral("x"));
        Button(IDC_BROWSE_DEST)->click();
        QCOMPARE(Field(IDC_DEST_PATH)->text(), Temp("chosen.mpg"));
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(), Media("mpeg2_16x9.m2v") + QStringLiteral("x"));
    }

    // After a rejected source the field's old text, not the rejected file, is what a run converts.
    void runUsesTheFieldsNotTheLastChoice() {
        Field(IDC_SOURCE_PATH)->setText(Media("mpeg2_4x3.m2v"));
        Field(IDC_DEST_PATH)->setText(Temp("out.mpg"));
        m_services.sourceChoices = {Media("no-such-file.mpg")};
        Button(IDC_BROWSE_SOURCE)->click();
        Button(IDC_RUN)->click();
        QCOMPARE(m_services.errors, QStringList{QStringLiteral("file open error")});
        QCOMPARE(Contents(Temp("out.mpg")), Contents(Media("mpeg2_4x3_as_16x9.golden.m2v")));
    }

    void runConverts_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<Radio>("mode");
        QTest::addColumn<QString>("expected");

        QTest::newRow("4:3 → 16:9") << Media("mpeg2_4x3.m2v") << Radio::To16x9
                                    << Media("mpeg2_4x3_as_16x9.golden.m2v");
        QTest::newRow("16:9 → 4:3") << Media("mpeg2_4x3_as_16x9.golden.m2v") << Radio::To4x3
                                    << Media("mpeg2_4x3.m2v");
        QTest::newRow("mode that changes nothing")
            << Media("mpeg2_16x9.m2v") << Radio::To16x9 << Media("mpeg2_16x9.m2v");
    }
    void runConverts() {
        QFETCH(QString, source);
        QFETCH(Radio, mode);
        QFETCH(QString, expected);
        int valueAtBegin = -1;
        int maximumAtBegin = -1;
        m_services.onBeginWait = [&] {
            valueAtBegin = Progress()->value();
            maximumAtBegin = Progress()->maximum();
        };

        Field(IDC_SOURCE_PATH)->setText(source);
        Field(IDC_DEST_PATH)->setText(Temp("out.mpg"));
        Check(mode);
        for (int run = 1; run <= 2; ++run) {
            Button(IDC_RUN)->click();
            QCOMPARE(m_services.errors, QStringList());
            QCOMPARE(Contents(Temp("out.mpg")), Contents(expected));
            QCOMPARE(valueAtBegin, 0);
            QCOMPARE(maximumAtBegin, veltrane::PROGRESS_MAX);
            QCOMPARE(Progress()->value(), veltrane::PROGRESS_MAX);
            QCOMPARE(m_services.beeps, run);
            QCOMPARE(m_services.beepsWhileWaiting, run);
            QCOMPARE(m_services.waitEnds, run);
        }
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(), source);
        QCOMPARE(Checked(), mode);
    }

    // The run blocks the window, yet its positions reach the screen as it goes; input waits for its end.
    void runPaintsButTakesNoInput() {
        Write(Temp("in.mpg"), QByteArray(3 * veltrane::CHUNK_SIZE + 5, '\x01'));
        Field(IDC_SOURCE_PATH)->setText(Temp("in.mpg"));
        Field(IDC_DEST_PATH)->setText(Temp("out.mpg"));
        PaintLog log;
        Progress()->installEventFilter(&log);
        QString destAtEnd;
        m_services.onBeginWait = [&] {
            QApplication::postEvent(Field(IDC_DEST_PATH), new QKeyEvent(QEvent::KeyPress, Qt::Key_X,
                                                                        Qt::NoModifier, QStringLiteral("x")));
        };
        m_services.onBeep = [&] { destAtEnd = Field(IDC_DEST_PATH)->text(); };

        Button(IDC_RUN)->click();

        QVERIFY(log.painted.size() >= 2);
        QCOMPARE(log.painted.first(), 0);
        QCOMPARE(log.painted.last(), veltrane::PROGRESS_MAX);
        QVERIFY(std::is_sorted(log.painted.begin(), log.painted.end()));
        QCOMPARE(destAtEnd, Temp("out.mpg"));
        QTRY_COMPARE(Field(IDC_DEST_PATH)->text(), Temp("out.mpg") + QStringLiteral("x"));
    }

    void runFailures_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("dest");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("begun");

        QTest::newRow("empty source field") << ""
                                            << "out.mpg"
                                            << "can't open input file" << false;
        QTest::newRow("source that does not exist") << "missing.mpg"
                                                    << "out.mpg"
                                                    << "can't open input file" << false;
        QTest::newRow("empty destination field") << "in.mpg"
                                                 << ""
                                                 << "can't open output file." << false;
        QTest::newRow("destination is the source") << "in.mpg"
                                                   << "in.mpg"
                                                   << "can't open output file." << false;
        QTest::newRow("destination folder missing") << "in.mpg"
                                                    << "no/such/folder/out.mpg"
                                                    << "can't open output file." << false;
#ifdef __linux__ // a device that is always full, and /proc to break a read
        QTest::newRow("write fails part-way") << "in.mpg"
                                              << "/dev/full"
                                              << "can't write output file." << true;
        QTest::newRow("read fails part-way") << "in.mpg"
                                             << "out.mpg"
                                             << "can't read input file" << true;
#endif
    }
    void runFailures() {
        QFETCH(QString, source);
        QFETCH(QString, dest);
        QFETCH(QString, error);
        QFETCH(bool, begun);
        const QByteArray original = Contents(Media("mpeg2_4x3.m2v"));
        Write(Temp("in.mpg"), original);
        const auto inTemp = [this](const QString& name) {
            return name.isEmpty() || name.startsWith(QLatin1Char('/')) ? name : Temp(qPrintable(name));
        };
        if (QString::fromLatin1(QTest::currentDataTag()).startsWith(QLatin1String("read"))) {
#ifdef __linux__
            m_services.onBeginWait = [&] { BreakReadsOf(Temp("in.mpg")); };
#endif
        }
        Progress()->setValue(42);

        Field(IDC_SOURCE_PATH)->setText(inTemp(source));
        Field(IDC_DEST_PATH)->setText(inTemp(dest));
        Button(IDC_RUN)->click();

        QCOMPARE(m_services.errors, QStringList{error});
        QCOMPARE(m_services.beeps, 0);
        QCOMPARE(m_services.waitBegins, begun ? 1 : 0);
        QCOMPARE(m_services.waitEnds, m_services.waitBegins);
        if (!begun) {
            QCOMPARE(Progress()->value(), 42);
        }
        QCOMPARE(Contents(Temp("in.mpg")), original);
        QVERIFY(m_dlg->isVisible());
    }

    void enterAndEscapeDoNothing_data() {
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("key");
        const std::pair<int, const char*> targets[] = {
            {0, "dialog"},           {IDC_SOURCE_PATH, "source field"}, {IDC_DEST_PATH, "destination field"},
            {IDC_RUN, "run button"}, {IDCANCEL, "exit button"},         {IDC_MODE_TO_4_3, "radio button"}};
        const std::pair<Qt::Key, const char*> keys[] = {
            {Qt::Key_Return, "Enter"}, {Qt::Key_Enter, "keypad Enter"}, {Qt::Key_Escape, "Escape"}};
        for (const auto& [target, where] : targets) {
            for (const auto& [key, what] : keys) {
                QTest::addRow("%s on %s", what, where) << target << int(key);
            }
        }
    }
    void enterAndEscapeDoNothing() {
        QFETCH(int, target);
        QFETCH(int, key);
        QWidget* receiver = target == 0 ? m_dlg.get() : m_dlg->GetDlgItem(target);
        receiver->setFocus();
        QTest::keyClick(receiver, Qt::Key(key));
        QVERIFY(m_dlg->isVisible());
        QCOMPARE(m_dlg->result(), 0);
        QCOMPARE(m_services.errors, QStringList()); // a run with empty fields would have complained
    }

    void mnemonicsReachTheirControls() {
        m_dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
        QTest::keyClick(m_dlg.get(), Qt::Key_O, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), Field(IDC_DEST_PATH));
        QTest::keyClick(m_dlg.get(), Qt::Key_I, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), Field(IDC_SOURCE_PATH));
        // A button's mnemonic animates the press, so the click lands a moment later.
        QTest::keyClick(m_dlg.get(), Qt::Key_R, Qt::AltModifier);
        QTRY_COMPARE(m_services.errors, QStringList{QStringLiteral("can't open input file")});
        QTest::keyClick(m_dlg.get(), Qt::Key_X, Qt::AltModifier);
        QTRY_VERIFY(!m_dlg->isVisible());
    }

    void contextMenuOpensTheAboutBox() {
        QString entry;
        QString caption;
        bool closedByEnter = false;
        QTimer::singleShot(0, this, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            entry = menu->actions().value(0)->text();
            QTimer::singleShot(0, this, [&] {
                auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
                QVERIFY(about);
                caption = about->windowTitle();
                QTest::keyClick(about, Qt::Key_Return);
                closedByEnter = !about->isVisible();
            });
            menu->setActiveAction(menu->actions().value(0));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), m_dlg->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(m_dlg.get(), &event);

        QCOMPARE(entry, QStringLiteral("Veltrane のﾊﾞｰｼﾞｮﾝ情報(&A)..."));
        QCOMPARE(caption, QStringLiteral("Veltraneのﾊﾞｰｼﾞｮﾝ情報"));
        QVERIFY(closedByEnter);
        QVERIFY(m_dlg->isVisible());
    }
};

QTEST_MAIN(DialogTest)
#include "veltrane_dlg_test.moc"
