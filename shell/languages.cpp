// Puts the window in the desktop's language: Japanese as the resources hold it, English anywhere else.
#include "languages.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

namespace veltrane {

namespace {

// The context of every text in the translation generated from the resources' English block.
constexpr char CONTEXT[] = "veltrane";

} // namespace

Translators InstallTranslators(const QLocale& locale) {
    Translators installed;
    const auto install = [&installed](const QString& name, const QString& folder) {
        auto translator = std::make_unique<QTranslator>();
        if (translator->load(name, folder) && QCoreApplication::installTranslator(translator.get())) {
            installed.push_back(std::move(translator));
        }
    };
    if (locale.language() == QLocale::Japanese) {
        install(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    } else {
        install(QStringLiteral("veltrane_en"), QStringLiteral(":/veltrane/i18n"));
    }
    return installed;
}

QString ResourceText(const char* text) {
    return QCoreApplication::translate(CONTEXT, text);
}

} // namespace veltrane
