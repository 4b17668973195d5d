// Drives the real main dialog through a scripted desktop: source choice, runs, keys and the About box.
#include "about_dlg.h"
#include "conversion_run.h"
#include "dialog_template.h"
#include "scripted_services.h"
#include "veltrane_dlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace veltrane::res;

namespace {

QString Media(const char* name) {
    return QStringLiteral(VELTRANE_TEST_DATA_DIR "/") + QString::fromLatin1(name);
}

QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The values a progress bar showed each time it was painted.
struct PaintLog : QObject {
    QList<int> painted;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            painted << qobject_cast<QProgressBar*>(watched)->value();
        }
        return false;
    }
};

} // namespace

class DialogTest : public QObject {
    Q_OBJECT

    ScriptedServices m_services;
    std::unique_ptr<CVeltraneDlg> m_dlg;
    QTemporaryDir m_dir;

    QLineEdit* Field(int id) const { return qobject_cast<QLineEdit*>(m_dlg->GetDlgItem(id)); }
    QAbstractButton* Button(int id) const { return qobject_cast<QAbstractButton*>(m_dlg->GetDlgItem(id)); }
    QProgressBar* Progress() const { return qobject_cast<QProgressBar*>(m_dlg->GetDlgItem(IDC_PROGRESS)); }
    QString Temp(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void init() {
        m_services = ScriptedServices();
        m_dlg = std::make_unique<CVeltraneDlg>(m_services);
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }
    void cleanup() { m_dlg.reset(); }

    void startsEmptyInTo16x9() {
        QCOMPARE(Field(IDC_SOURCE_PATH)->text() + Field(IDC_DEST_PATH)->text(), QString());
        QVERIFY(Button(IDC_MODE_TO_16_9)->isChecked() && !Button(IDC_MODE_TO_4_3)->isChecked());
        QCOMPARE(Progress()->value(), 0);
        QCOMPARE(QApplication::focusWidget(), Field(IDC_SOURCE_PATH));
    }

    // The chosen source preselects the opposite direction; a file the probe rejects leaves all as it was.
    void sourceChoiceSetsDirection_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("checked");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("fieldShowsPath");
        QTest::newRow("4:3") << Media("mpeg2_ps_4x3.mpg") << IDC_MODE_TO_16_9 << "" << true;
        QTest::newRow("16:9") << Media("mpeg2_ts_16x9.ts") << IDC_MODE_TO_4_3 << "" << true;
        QTest::newRow("unknown aspect")
            << Media("mpeg1_vcd_4x3.m1v") << IDC_MODE_TO_4_3 << "unknown aspect ratio" << true;
        QTest::newRow("no sequence header")
            << Media("README.md") << IDC_MODE_TO_4_3 << "can't find seqence_header" << false;
        QTest::newRow("file that does not exist")
            << Media("missing") << IDC_MODE_TO_4_3 << "file open error" << false;
        QTest::newRow("cancelled") << QString() << IDC_MODE_TO_4_3 << "" << false;
    }
    void sourceChoiceSetsDirection() {
        QFETCH(QString, path);
        QFETCH(int, checked);
        QFETCH(QString, error);
        QFETCH(bool, fieldShowsPath);
        Button(IDC_MODE_TO_4_3)->click();
        Field(IDC_SOURCE_PATH)->setText(QStringLiteral("typed.mpg"));
        QTest::keyClicks(Field(IDC_DEST_PATH), QStringLiteral("typed-out.mpg"));
        m_services.sourceChoices = path.isNull() ? QStringList() : QStringList{path};
        Button(IDC_BROWSE_SOURCE)->click();

        QVERIFY(Button(checked)->isChecked());
        QCOMPARE(m_services.errors, error.isEmpty() ? QStringList() : QStringList{error});
        QCOMPARE(Field(IDC_SOURCE_PATH)->text(), fieldShowsPath ? path : QStringLiteral("typed.mpg"));
        QCOMPARE(Field(IDC_DEST_PATH)->text(), QStringLiteral("typed-out.mpg"));
    }

    // The run blocks the window, yet its positions reach the screen as it goes; input waits for its end.
    void runConvertsAndPaintsAsItGoes() {
        Field(IDC_SOURCE_PATH)->setText(Media("mpeg2_4x3.m2v"));
        m_services.destChoices = {Temp("out.mpg")};
        Button(IDC_BROWSE_DEST)->click();
        PaintLog log;
        Progress()->installEventFilter(&log);
        m_services.onBeginWait = [&] {
            QApplication::postEvent(Field(IDC_DEST_PATH), new QKeyEvent(QEvent::KeyPress, Qt::Key_X,
                                                                        Qt::NoModifier, QStringLiteral("x")));
        };
        Button(IDC_RUN)->click();

        QCOMPARE(Contents(Temp("out.mpg")), Contents(Media("mpeg2_4x3_as_16x9.golden.m2v")));
        QCOMPARE(m_services.errors, QStringList());
        QCOMPARE(m_services.beeps, 1);
        QCOMPARE(m_services.waitEnds, 1);
        QCOMPARE(log.painted.first(), 0);
        QCOMPARE(log.painted.last(), veltrane::PROGRESS_MAX);
        QCOMPARE(Field(IDC_DEST_PATH)->text(), Temp("out.mpg"));
        QTRY_COMPARE(Field(IDC_DEST_PATH)->text(), Temp("out.mpg") + QStringLiteral("x"));
    }

    // A failure shows its own text once, without the completion beep, and leaves the busy cursor off.
    void runFailures_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("dest");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing source") << Temp("missing") << Temp("out.mpg") << "can't open input file";
        QTest::newRow("source as destination")
            << Temp("in.mpg") << Temp("in.mpg") << "can't open output file.";
#ifdef __linux__ // a device that is always full
        QTest::newRow("full device") << Temp("in.mpg") << QStringLiteral("/dev/full")
                                     << "can't write output file.";
#endif
    }
    void runFailures() {
        QFETCH(QString, source);
        QFETCH(QString, dest);
        QFETCH(QString, error);
        const QByteArray original = Contents(Media("mpeg2_4x3.m2v"));
        QFile in(Temp("in.mpg"));
        QVERIFY(in.open(QIODevice::WriteOnly) && in.write(original) == original.size());
        in.close();
        Field(IDC_SOURCE_PATH)->setText(source);
        Field(IDC_DEST_PATH)->setText(dest);
        Button(IDC_RUN)->click();

        QCOMPARE(m_services.errors, QStringList{error});
        QCOMPARE(m_services.beeps, 0);
        QCOMPARE(m_services.waitEnds, m_services.waitBegins);
        QCOMPARE(Contents(Temp("in.mpg")), original);
    }

    // A run that rewrites no aspect code still makes the copy, but says why instead of beeping.
    void runThatChangesNothing_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("error");
        QTest::newRow("already 16:9") << Media("mpeg2_ts_16x9.ts")
                                      << "no seqence_header with the other aspect ratio. output file is an "
                                         "unchanged copy.";
        QTest::newRow("no sequence header")
            << Media("README.md") << "can't find seqence_header. output file is an unchanged copy.";
    }
    void runThatChangesNothing() {
        QFETCH(QString, source);
        QFETCH(QString, error);
        Field(IDC_SOURCE_PATH)->setText(source);
        Field(IDC_DEST_PATH)->setText(Temp("out.mpg"));
        Button(IDC_RUN)->click();

        QCOMPARE(m_services.errors, QStringList{error});
        QCOMPARE(m_services.beeps, 0);
        QCOMPARE(m_services.waitEnds, 1);
        QCOMPARE(Progress()->value(), veltrane::PROGRESS_MAX);
        QCOMPARE(Contents(Temp("out.mpg")), Contents(source));
    }

    // Neither key may run the conversion (a default button) or close the window (Escape).
    void enterAndEscapeDoNothing() {
        QTest::keyClick(Field(IDC_SOURCE_PATH), Qt::Key_Return);
        QTest::keyClick(Button(IDC_RUN), Qt::Key_Enter);
        QTest::keyClick(Field(IDC_DEST_PATH), Qt::Key_Escape);
        QVERIFY(m_dlg->isVisible());
        QCOMPARE(m_services.errors, QStringList());
    }

    void contextMenuOpensTheAboutBox() {
        QString caption;
        QTimer::singleShot(0, this, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            QTimer::singleShot(0, this, [&] {
                auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
                QVERIFY(about);
                caption = about->windowTitle();
                about->accept();
            });
            menu->setActiveAction(menu->actions().value(0));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), m_dlg->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(m_dlg.get(), &event);
        QCOMPARE(caption, QStringLiteral("Veltraneのﾊﾞｰｼﾞｮﾝ情報"));
    }
};

QTEST_MAIN(DialogTest)
#include "veltrane_dlg_test.moc"
