// Puts the window in the desktop's language: Japanese as the resources hold it, English anywhere else.
#pragma once

#include <QString>
#include <QTranslator>
#include <memory>
#include <vector>

class QLocale;

namespace veltrane {

using Translators = std::vector<std::unique_ptr<QTranslator>>;

// Installs what `locale` needs on the application: under Japanese, Qt's own Japanese texts so that its
// file dialogs and buttons match the window; under any other language, the window's English texts
// (Qt's own are English already). They stay installed while the result lives.
Translators InstallTranslators(const QLocale& locale);

// A text of the resources (the Japanese original, UTF-8) in the window's language.
QString ResourceText(const char* text);

} // namespace veltrane
