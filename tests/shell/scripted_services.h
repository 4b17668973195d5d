// A scripted desktop for the dialog tests: canned file choices, and a record of what the dialog showed.
#pragma once

#include "dialog_services.h"

#include <QStringList>
#include <deque>
#include <functional>

class ScriptedServices final : public veltrane::DialogServices {
public:
    // Paths the file dialogs return in turn; a null string, or none left, is a cancelled dialog.
    std::deque<QString> sourceChoices;
    std::deque<QString> destChoices;
    // Runs when the dialog starts its busy cursor, that is once a run has begun copying.
    std::function<void()> onBeginWait;
    // Runs at the completion beep, while the run has not yet returned.
    std::function<void()> onBeep;

    QStringList errors;
    int beeps = 0;
    int beepsWhileWaiting = 0;
    int waitBegins = 0;
    int waitEnds = 0;

    std::optional<QString> ChooseSourcePath(QWidget*) override { return Next(sourceChoices); }
    std::optional<QString> ChooseDestPath(QWidget*) override { return Next(destChoices); }
    void ShowError(QWidget*, const QString& text) override { errors << text; }
    void Beep() override {
        ++beeps;
        beepsWhileWaiting += waitBegins > waitEnds ? 1 : 0;
        if (onBeep) {
            onBeep();
        }
    }
    void BeginWaitCursor() override {
        ++waitBegins;
        if (onBeginWait) {
            onBeginWait();
        }
    }
    void EndWaitCursor() override { ++waitEnds; }

private:
    static std::optional<QString> Next(std::deque<QString>& choices) {
        const QString next = choices.empty() ? QString() : choices.front();
        if (!choices.empty()) {
            choices.pop_front();
        }
        if (next.isNull()) {
            return std::nullopt;
        }
        return next;
    }
};
