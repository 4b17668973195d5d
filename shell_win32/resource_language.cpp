// Picks which of the resources' language blocks the window shows.
#include "resource_language.h"

#include "resource.h"

namespace veltrane {

namespace {

struct LanguageSearch {
    LANGID wanted;
    LANGID exact = 0;
    LANGID sameLanguage = 0;
};

BOOL CALLBACK NoteLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    auto& search = *reinterpret_cast<LanguageSearch*>(param);
    if (language == search.wanted)
        search.exact = language;
    else if (PRIMARYLANGID(language) == PRIMARYLANGID(search.wanted) && !search.sameLanguage)
        search.sameLanguage = language;
    return TRUE;
}

// Taiwan, Hong Kong and Macau write Traditional Chinese, which the Simplified block is not.
bool WritesTraditionalChinese(LANGID language) {
    const WORD sub = SUBLANGID(language);
    return PRIMARYLANGID(language) == LANG_CHINESE &&
           (sub == SUBLANG_CHINESE_TRADITIONAL || sub == SUBLANG_CHINESE_HONGKONG ||
            sub == SUBLANG_CHINESE_MACAU);
}

} // namespace

LANGID ResourceLanguageFor(LANGID wanted) {
    LanguageSearch search{wanted};
    // Every block holds the main dialog, so its languages are the blocks'.
    ::EnumResourceLanguagesW(::GetModuleHandleW(nullptr), RT_DIALOG, MAKEINTRESOURCEW(IDD_MAIN), NoteLanguage,
                             reinterpret_cast<LONG_PTR>(&search));
    if (search.exact)
        return search.exact;
    return WritesTraditionalChinese(wanted) ? 0 : search.sameLanguage;
}

void SelectResourceLanguage() {
    const LANGID user = ::GetUserDefaultUILanguage();
    const LANGID chosen = ResourceLanguageFor(user);
    if (chosen && chosen != user) {
        ::SetThreadUILanguage(chosen);
        // Wine's resource loader goes by the thread's locale rather than its interface language.
        ::SetThreadLocale(MAKELCID(chosen, SORT_DEFAULT));
    }
}

} // namespace veltrane
