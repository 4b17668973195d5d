// What the dialog asks of the desktop: file choices, error boxes, the beep and the busy cursor.
#pragma once

#include <QString>
#include <optional>

class QFileDialog;
class QWidget;

namespace veltrane {

// The dialog reaches everything modal or audible through this seam, so that tests can script it.
class DialogServices {
public:
    virtual ~DialogServices() = default;
    // The chosen full path, or nothing when the user cancels.
    virtual std::optional<QString> ChooseSourcePath(QWidget* owner) = 0;
    virtual std::optional<QString> ChooseDestPath(QWidget* owner) = 0;
    virtual void ShowError(QWidget* owner, const QString& text) = 0;
    virtual void Beep() = 0;
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;
};

// The real desktop: Qt's own file dialogs and message boxes.
class QtDialogServices final : public DialogServices {
public:
    std::optional<QString> ChooseSourcePath(QWidget* owner) override;
    std::optional<QString> ChooseDestPath(QWidget* owner) override;
    void ShowError(QWidget* owner, const QString& text) override;
    void Beep() override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
};

// The two file dialogs as the program shows them; separate so that their filtering can be tested.
void ConfigureSourceDialog(QFileDialog& dialog);
void ConfigureDestDialog(QFileDialog& dialog);

} // namespace veltrane
