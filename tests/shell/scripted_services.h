// A scripted desktop for the dialog tests: canned file choices, and a record of what the dialog showed.
#pragma once

#include "dialog_services.h"

#include <QStringList>
#include <functional>

class ScriptedServices final : public veltrane::DialogServices {
public:
    // Paths the file dialogs return in turn; with none left the dialog counts as cancelled.
    QStringList sourceChoices, destChoices;
    std::function<void()> onBeginWait = [] {}; // runs once a run has begun copying
    QStringList errors, infos;
    QStringList destExtensions; // what the save dialog was asked to suggest, in turn
    int beeps = 0, waitBegins = 0, waitEnds = 0;

    std::optional<QString> ChooseSourcePath(QWidget*) override { return Next(sourceChoices); }
    std::optional<QString> ChooseDestPath(QWidget*, const QString& extension) override {
        destExtensions << extension;
        return Next(destChoices);
    }
    std::optional<QString> ChooseDestFolder(QWidget*) override {
        destExtensions << QStringLiteral("folder");
        return Next(destChoices);
    }
    void ShowError(QWidget*, const QString& text) override { errors << text; }
    void ShowInfo(QWidget*, const QString& text) override { infos << text; }
    void Beep() override { ++beeps; }
    void BeginWaitCursor() override {
        ++waitBegins;
        onBeginWait();
    }
    void EndWaitCursor() override { ++waitEnds; }

private:
    static std::optional<QString> Next(QStringList& choices) {
        return choices.isEmpty() ? std::nullopt : std::optional(choices.takeFirst());
    }
};
