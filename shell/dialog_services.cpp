// The real desktop behind the dialog: Qt's own file dialogs and message boxes, the beep, the busy cursor.
#include "dialog_services.h"

#include "file_types.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace veltrane {

namespace {

// Qt takes a filter's patterns from its last parenthesised part and, with HideNameFilterDetails,
// shows only what comes before it. That lets each entry read as the program always wrote it while
// matching what it promises: "*.mpg; *.m1v" would otherwise become patterns ending in ';' that
// match nothing, and on Linux "*.*" would hide every file without an extension.
QStringList NameFilters() {
    QStringList patterns;
    for (const char* extension : res::MPEG_EXTENSIONS) {
        patterns << QStringLiteral("*.") + QString::fromLatin1(extension);
    }
    const QString mpeg = QString::fromLatin1(res::MPEG_FILTER_NAME);
    return {mpeg + QStringLiteral(" (") + patterns.join(QStringLiteral("; ")) + QStringLiteral(") (") +
                patterns.join(QLatin1Char(' ')) + QLatin1Char(')'),
            QString::fromLatin1(res::ALL_FILES_FILTER_NAME) + QStringLiteral(" (*)")};
}

void ConfigureCommon(QFileDialog& dialog) {
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    // Neither dialog demands that the file or its folder exist: the probe or the run reports that.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(NameFilters());
    // Letter case is not part of a file type.
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
}

std::optional<QString> Run(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().constFirst();
}

} // namespace

void ConfigureSourceDialog(QFileDialog& dialog) {
    ConfigureCommon(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
}

void ConfigureDestDialog(QFileDialog& dialog, const QString& extension) {
    ConfigureCommon(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(extension);
    dialog.selectFile(QString::fromLatin1(res::DEST_BASE_NAME) + QLatin1Char('.') + extension);
}

QString DestExtension(const QString& sourcePath) {
    const QString suffix = QFileInfo(sourcePath).suffix();
    for (const char* extension : res::MPEG_EXTENSIONS) {
        if (suffix.compare(QLatin1String(extension), Qt::CaseInsensitive) == 0) {
            return suffix;
        }
    }
    return QString::fromLatin1(res::MPEG_EXTENSIONS[0]);
}

std::optional<QString> QtDialogServices::ChooseSourcePath(QWidget* owner) {
    QFileDialog dialog(owner);
    ConfigureSourceDialog(dialog);
    return Run(dialog);
}

std::optional<QString> QtDialogServices::ChooseDestFolder(QWidget* owner) {
    QFileDialog dialog(owner);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // A save dialog takes a name typed for a folder that is not there yet.
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    return Run(dialog);
}

std::optional<QString> QtDialogServices::ChooseDestPath(QWidget* owner, const QString& extension) {
    QFileDialog dialog(owner);
    ConfigureDestDialog(dialog, extension);
    return Run(dialog);
}

void QtDialogServices::ShowError(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("error"), text, QMessageBox::Ok, owner);
    box.exec();
}

void QtDialogServices::ShowInfo(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Veltrane"), text, QMessageBox::Ok, owner);
    box.exec();
}

void QtDialogServices::Beep() {
    QApplication::beep();
}

void QtDialogServices::BeginWaitCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void QtDialogServices::EndWaitCursor() {
    QApplication::restoreOverrideCursor();
}

} // namespace veltrane
