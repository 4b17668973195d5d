// What the dialog asks of the desktop: file choices, message boxes, the beep and the busy cursor.
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
    // `extension`: the one the save dialog suggests and appends to a name typed without one.
    virtual std::optional<QString> ChooseDestPath(QWidget* owner, const QString& extension) = 0;
    // The folder a disc is written as: an existing one, or a new name typed.
    virtual std::optional<QString> ChooseDestFolder(QWidget* owner) = 0;
    virtual void ShowError(QWidget* owner, const QString& text) = 0;
    // A notice that is not a failure: an information box captioned with the program's name.
    virtual void ShowInfo(QWidget* owner, const QString& text) = 0;
    virtual void Beep() = 0;
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;
};

// The real desktop: Qt's own file dialogs and message boxes.
class QtDialogServices final : public DialogServices {
public:
    std::optional<QString> ChooseSourcePath(QWidget* owner) override;
    std::optional<QString> ChooseDestPath(QWidget* owner, const QString& extension) override;
    std::optional<QString> ChooseDestFolder(QWidget* owner) override;
    void ShowError(QWidget* owner, const QString& text) override;
    void ShowInfo(QWidget* owner, const QString& text) override;
    void Beep() override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
};

// The two file dialogs as the program shows them; separate so that their filtering can be tested.
void ConfigureSourceDialog(QFileDialog& dialog);
void ConfigureDestDialog(QFileDialog& dialog, const QString& extension);

// The destination's extension for a source: the source's own when it is a type the engine reads, so that
// a transport stream stays one by name, else the first of those types.
QString DestExtension(const QString& sourcePath);

} // namespace veltrane
