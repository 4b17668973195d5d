// Checks the program's two file dialogs on a real folder: what each filter lists and what each accepts.
#include "dialog_services.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class FileDialogsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    static QStringList Sorted(QStringList names) {
        names.sort();
        return names;
    }
    static QStringList Listed(const QFileDialog& dialog) {
        const auto* list = dialog.findChild<QListView*>(QStringLiteral("listView"));
        QStringList names;
        for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row) {
            names << list->model()->index(row, 0, list->rootIndex()).data().toString();
        }
        return Sorted(names);
    }
    static void PressAccept(const QFileDialog& dialog) {
        const auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        const QDialogButtonBox::StandardButton which =
            dialog.acceptMode() == QFileDialog::AcceptSave ? QDialogButtonBox::Save : QDialogButtonBox::Open;
        buttons->button(which)->click();
    }
    QLineEdit* NameEdit(const QFileDialog& dialog) const {
        return dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        for (const char* name :
             {"a.mpg", "B.MPG", "c.M1v", "d.m2v", "e.mpv", "notes.txt", "README", "f.mpg.bak"}) {
            QFile file(m_dir.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }

    void filtersListWhatTheySay_data() {
        QTest::addColumn<bool>("save");
        QTest::newRow("open dialog") << false;
        QTest::newRow("save dialog") << true;
    }
    void filtersListWhatTheySay() {
        QFETCH(bool, save);
        QFileDialog dialog;
        save ? veltrane::ConfigureDestDialog(dialog) : veltrane::ConfigureSourceDialog(dialog);
        dialog.setDirectory(m_dir.path());
        dialog.show();

        const auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        QCOMPARE(types->count(), 2);
        QCOMPARE(types->itemText(0), QStringLiteral("MPEG Files (*.mpg; *.m1v; *.m2v; *.mpv)"));
        QCOMPARE(types->itemText(1), QStringLiteral("All Files (*.*)"));

        const QStringList mpeg = Sorted({"a.mpg", "B.MPG", "c.M1v", "d.m2v", "e.mpv"});
        QTRY_COMPARE(Listed(dialog), mpeg);
        dialog.selectNameFilter(dialog.nameFilters().at(1));
        QTRY_COMPARE(Listed(dialog), Sorted(mpeg + QStringList{"notes.txt", "README", "f.mpg.bak"}));
        if (save) {
            QCOMPARE(NameEdit(dialog)->text(), QStringLiteral("out.mpg"));
        }
    }

    void acceptsPathsThatDoNotExistYet_data() {
        QTest::addColumn<bool>("save");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("open: missing file") << false << "ghost.mpg"
                                            << "ghost.mpg";
        QTest::newRow("save: default suffix") << true << "clip"
                                              << "clip.mpg";
        QTest::newRow("save: missing folder") << true << "no/such/folder/out.mpg"
                                              << "no/such/folder/out.mpg";
    }
    void acceptsPathsThatDoNotExistYet() {
        QFETCH(bool, save);
        QFETCH(QString, typed);
        QFETCH(QString, chosen);
        QFileDialog dialog;
        save ? veltrane::ConfigureDestDialog(dialog) : veltrane::ConfigureSourceDialog(dialog);
        dialog.setDirectory(m_dir.path());
        dialog.show();
        NameEdit(dialog)->setText(m_dir.filePath(typed));
        PressAccept(dialog);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.selectedFiles(), QStringList{m_dir.filePath(chosen)});
    }

    void saveAsksBeforeOverwriting() {
        QFileDialog dialog;
        veltrane::ConfigureDestDialog(dialog);
        dialog.setDirectory(m_dir.path());
        dialog.show();
        NameEdit(dialog)->setText(m_dir.filePath(QStringLiteral("a.mpg")));
        bool asked = false;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            asked = box != nullptr;
            if (box) {
                box->button(QMessageBox::No)->click();
            }
        });
        PressAccept(dialog);
        QVERIFY(asked);
        QVERIFY(dialog.isVisible());
    }
};

QTEST_MAIN(FileDialogsTest)
#include "file_dialogs_test.moc"
