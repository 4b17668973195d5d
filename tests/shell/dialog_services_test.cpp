// Checks the real desktop services: what each file dialog lists and accepts, and the error box.
#include "dialog_services.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class DialogServicesTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    static QStringList Listed(const QFileDialog& dialog) {
        const auto* list = dialog.findChild<QListView*>(QStringLiteral("listView"));
        QStringList names;
        for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row) {
            names << list->model()->index(row, 0, list->rootIndex()).data().toString();
        }
        names.sort(Qt::CaseInsensitive);
        return names;
    }

private slots:
    void initTestCase() {
        // Qt's file dialog keeps its history in the user's settings; the tests keep theirs apart.
        QStandardPaths::setTestModeEnabled(true);
        for (const char* name : {"a.mpg", "B.MPG", "c.M1v", "d.m2v", "e.mpv", "f.mpg.bak", "README", "g.ts",
                                 "h.M2TS", "i.vob", "j.mpeg", "k.dat"}) {
            QFile file(m_dir.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }

    // "*.mpg; *.m1v" patterns ending in ';' matched nothing, and "*.*" hid files without an extension. The
    // first entry lists every type the engine reads; the save dialog suggests the source's type.
    void filtersListWhatTheySay_data() {
        QTest::addColumn<bool>("save");
        QTest::newRow("open dialog") << false;
        QTest::newRow("save dialog") << true;
    }
    void filtersListWhatTheySay() {
        QFETCH(bool, save);
        QFileDialog dialog;
        save ? veltrane::ConfigureDestDialog(dialog, QStringLiteral("ts"))
             : veltrane::ConfigureSourceDialog(dialog);
        dialog.setDirectory(m_dir.path());
        dialog.show();

        const auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        QCOMPARE(types->itemText(0), QStringLiteral("MPEG Files (*.mpg; *.mpeg; *.m2p; *.vob; *.dat; *.ts; "
                                                    "*.m2ts; *.mts; *.m2t; *.m1v; *.m2v; *.mpv; *.mkv; *.webm; "
                                                    "*.mp4; *.m4v; *.mov; *.avi; *.264; *.h264; *.avc; *.265; *.hevc)"));
        QCOMPARE(types->itemText(1), QStringLiteral("All Files (*.*)"));
        const QStringList mpeg = {"a.mpg", "B.MPG",  "c.M1v", "d.m2v",  "e.mpv",
                                  "g.ts",  "h.M2TS", "i.vob", "j.mpeg", "k.dat"}; // as Listed() sorts them
        QTRY_COMPARE(Listed(dialog), mpeg);
        dialog.selectNameFilter(dialog.nameFilters().at(1));
        QStringList all = mpeg + QStringList({"f.mpg.bak", "README"});
        all.sort(Qt::CaseInsensitive);
        QTRY_COMPARE(Listed(dialog), all);
        if (save) {
            QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text(), "out.ts");
            QCOMPARE(dialog.defaultSuffix(), QStringLiteral("ts"));
            QVERIFY(!dialog.testOption(QFileDialog::DontConfirmOverwrite));
        }
    }

    // The source's type, when the engine reads it, in its own letter case; "mpg" for anything else.
    void destinationTakesTheSourcesType() {
        const QStringList sources = {"/v/rec.ts", "/v/REC.M2TS", "/v/rec.mp4", "/v/rec.wmv", "/v.ts/rec", ""};
        const QStringList expected = {"ts", "M2TS", "mp4", "mpg", "mpg", "mpg"};
        for (qsizetype i = 0; i < sources.size(); ++i) {
            QCOMPARE(veltrane::DestExtension(sources[i]), expected[i]);
        }
    }

    void errorBoxIsACriticalBoxWithOneOk() {
        QWidget owner;
        owner.show();
        QMessageBox* shown = nullptr;
        QTimer::singleShot(0, this, [&] {
            shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(shown);
            shown->accept();
            QCOMPARE(shown->parentWidget(), &owner);
            QCOMPARE(shown->windowTitle(), QStringLiteral("error"));
            QCOMPARE(shown->text(), QStringLiteral("can't find seqence_header"));
            QCOMPARE(shown->icon(), QMessageBox::Critical);
            QCOMPARE(shown->buttons(), QList<QAbstractButton*>{shown->button(QMessageBox::Ok)});
        });
        veltrane::QtDialogServices().ShowError(&owner, QStringLiteral("can't find seqence_header"));
        QVERIFY(shown);
    }
};

QTEST_MAIN(DialogServicesTest)
#include "dialog_services_test.moc"
