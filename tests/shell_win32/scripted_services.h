// A scripted desktop for the Windows dialog tests: canned file choices, and a record of what was shown.
#pragma once

#include "dialog_services.h"

#include <deque>
#include <functional>
#include <vector>

class ScriptedServices final : public veltrane::DialogServices {
public:
    // Paths the file dialogs return in turn; with none left the dialog counts as cancelled.
    std::deque<std::wstring> sourceChoices, destChoices;
    std::function<void()> onBeginWait = [] {}; // runs once a run has begun copying
    std::vector<std::wstring> errors, infos;
    std::vector<std::wstring> destExtensions; // what the save dialog was asked to suggest, in turn
    int beeps = 0, waitBegins = 0, waitEnds = 0;

    std::optional<std::wstring> ChooseSourcePath(HWND) override { return Next(sourceChoices); }
    std::optional<std::wstring> ChooseDestPath(HWND, const std::wstring& extension) override {
        destExtensions.push_back(extension);
        return Next(destChoices);
    }
    std::optional<std::wstring> ChooseDestFolder(HWND) override {
        destExtensions.push_back(L"folder");
        return Next(destChoices);
    }
    void ShowError(HWND, const std::wstring& text) override { errors.push_back(text); }
    void ShowInfo(HWND, const std::wstring& text) override { infos.push_back(text); }
    void Beep() override { ++beeps; }
    void BeginWaitCursor() override {
        ++waitBegins;
        onBeginWait();
    }
    void EndWaitCursor() override { ++waitEnds; }

private:
    static std::optional<std::wstring> Next(std::deque<std::wstring>& choices) {
        if (choices.empty())
            return std::nullopt;
        std::wstring next = choices.front();
        choices.pop_front();
        return next;
    }
};
