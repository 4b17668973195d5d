// Checks the real desktop services: what each file dialog lists and accepts, and the error box.
#include "dialog_services.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class DialogServicesTest : public QObject {
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
        // Qt's file dialog keeps its history in the user's settings; the tests keep theirs apart.
        QStandardPaths::setTestModeEnabled(true);
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

    // The services open their dialogs modally over the window that asks, and give back what was chosen.
    void choicesComeFromModalDialogsOverTheOwner_data() {
        QTest::addColumn<bool>("save");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("source chosen") << false << true << "a.mpg";
        QTest::newRow("source cancelled") << false << false << "";
        QTest::newRow("destination as offered") << true << true << "out.mpg";
        QTest::newRow("destination cancelled") << true << false << "";
    }
    void choicesComeFromModalDialogsOverTheOwner() {
        QFETCH(bool, save);
        QFETCH(bool, accept);
        QFETCH(QString, chosen);
        QWidget owner;
        owner.show();
        const QString previous = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
        QWidget* shownOwner = nullptr;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            shownOwner = dialog->parentWidget();
            if (!save) {
                NameEdit(*dialog)->setText(chosen);
            }
            accept ? PressAccept(*dialog) : dialog->reject();
        });
        veltrane::QtDialogServices services;
        const std::optional<QString> result =
            save ? services.ChooseDestPath(&owner) : services.ChooseSourcePath(&owner);
        QDir::setCurrent(previous);

        QCOMPARE(shownOwner, &owner);
        QCOMPARE(result.has_value(), accept);
        if (accept) {
            QCOMPARE(*result, m_dir.filePath(chosen));
        }
    }

    void errorBoxIsACriticalBoxWithOneOk() {
        QWidget owner;
        owner.show();
        QMessageBox* shown = nullptr;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttons = 0;
        QTimer::singleShot(0, this, [&] {
            shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(shown);
            title = shown->windowTitle();
            text = shown->text();
            icon = shown->icon();
            buttons = int(shown->buttons().size());
            QVERIFY(shown->parentWidget() == &owner);
            shown->button(QMessageBox::Ok)->click();
        });
        veltrane::QtDialogServices().ShowError(&owner, QStringLiteral("can't find seqence_header"));
        QVERIFY(shown);
        QCOMPARE(title, QStringLiteral("error"));
        QCOMPARE(text, QStringLiteral("can't find seqence_header"));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(buttons, 1);
    }
};

QTEST_MAIN(DialogServicesTest)
#include "dialog_services_test.moc"
