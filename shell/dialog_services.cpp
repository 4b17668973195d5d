// The real desktop behind the dialog: Qt's own file dialogs and message boxes, the beep, the busy cursor.
#include "dialog_services.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace veltrane {

namespace {

// Qt takes a filter's patterns from its last parenthesised part and, with HideNameFilterDetails,
// shows only what comes before it. That lets each entry read as the program always wrote it while
// matching what it promises: "*.mpg; *.m1v" would otherwise become patterns ending in ';' that
// match nothing, and on Linux "*.*" would hide every file without an extension.
const QStringList& NameFilters() {
    static const QStringList filters = {
        QStringLiteral("MPEG Files (*.mpg; *.m1v; *.m2v; *.mpv) (*.mpg *.m1v *.m2v *.mpv)"),
        QStringLiteral("All Files (*.*) (*)"),
    };
    return filters;
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

void ConfigureDestDialog(QFileDialog& dialog) {
    ConfigureCommon(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("mpg"));
    dialog.selectFile(QStringLiteral("out.mpg"));
}

std::optional<QString> QtDialogServices::ChooseSourcePath(QWidget* owner) {
    QFileDialog dialog(owner);
    ConfigureSourceDialog(dialog);
    return Run(dialog);
}

std::optional<QString> QtDialogServices::ChooseDestPath(QWidget* owner) {
    QFileDialog dialog(owner);
    ConfigureDestDialog(dialog);
    return Run(dialog);
}

void QtDialogServices::ShowError(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("error"), text, QMessageBox::Ok, owner);
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
