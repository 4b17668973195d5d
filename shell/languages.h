// Puts the window in the desktop's language: Japanese as the resources hold it, a language their other
// blocks give where the desktop speaks it, English anywhere else.
#pragma once

#include <QString>
#include <QTranslator>
#include <memory>
#include <vector>

class QLocale;

namespace veltrane {

using Translators = std::vector<std::unique_ptr<QTranslator>>;

// Installs what `locale` needs on the application: the window's texts in its language where the
// resources hold it (English where they do not), and Qt's own texts in the same language so that its
// file dialogs and buttons match the window. They stay installed while the result lives.
Translators InstallTranslators(const QLocale& locale);

// A text of the resources (the Japanese original, UTF-8) in the window's language.
QString ResourceText(const char* text);

} // namespace veltrane
