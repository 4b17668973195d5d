// Puts the window in the desktop's language: Japanese as the resources hold it, a language their other
// blocks give where the desktop speaks it, English anywhere else.
#include "languages.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

namespace veltrane {

namespace {

// The context of every text in the translations generated from the resources' language blocks.
constexpr char CONTEXT[] = "veltrane";

} // namespace

Translators InstallTranslators(const QLocale& locale) {
    Translators installed;
    const auto install = [&installed](const QLocale& language, const QString& name, const QString& folder) {
        auto translator = std::make_unique<QTranslator>();
        const bool loaded = translator->load(language, name, QStringLiteral("_"), folder);
        if (loaded && QCoreApplication::installTranslator(translator.get())) {
            installed.push_back(std::move(translator));
        }
        return loaded;
    };
    const QString window = QStringLiteral(":/veltrane/i18n");
    // The resources hold one Simplified Chinese: Singapore's and a bare zh-Hans read it too, where the
    // translator would look only for files of their own. Traditional Chinese stays English.
    QLocale language =
        locale.language() == QLocale::Chinese && locale.script() == QLocale::SimplifiedHanScript
            ? QLocale(QLocale::Chinese, QLocale::SimplifiedHanScript, QLocale::China)
            : locale;
    if (language.language() != QLocale::Japanese && !install(language, QStringLiteral("veltrane"), window)) {
        language = QLocale(QLocale::English);
        install(language, QStringLiteral("veltrane"), window);
    }
    // Qt's own texts (its file dialogs, its buttons) in the window's language; Qt's are English already.
    if (language.language() != QLocale::English) {
        install(language, QStringLiteral("qtbase"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    }
    return installed;
}

QString ResourceText(const char* text) {
    return QCoreApplication::translate(CONTEXT, text);
}

} // namespace veltrane
