// Drives the real Windows dialog through a scripted desktop: source choice, runs, keys and the About box.
#include "about_dlg.h"
#include "conversion_run.h"
#include "disc/ifo_attributes.h"
#include "resource.h"
#include "resource_language.h"
#include "scripted_services.h"
#include "test_support.h"
#include "veltrane_dlg.h"
#include "windows_text.h"

#include <algorithm>
#include <commctrl.h>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

namespace fs = std::filesystem;
using veltrane::test::Bytes;

fs::path Media(const char* name) {
    return veltrane::test::FsPath(VELTRANE_TEST_DATA_DIR) / name;
}

// What Explorer hands a window that accepts files: one file, dropped at `at` in client coordinates.
HDROP MakeDrop(const std::wstring& file, POINT at) {
    const std::size_t bytes = sizeof(DROPFILES) + (file.size() + 2) * sizeof(wchar_t);
    const HGLOBAL memory = ::GlobalAlloc(GHND, bytes); // zeroed: the list ends in two NULs
    auto* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->pt = at;
    drop->fWide = TRUE;
    std::copy(file.begin(), file.end(), reinterpret_cast<wchar_t*>(drop + 1));
    ::GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

void PumpMessages() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

// Every position the progress bar is given, whoever sends or posts it.
std::vector<int> g_positions;
WNDPROC g_progressProc = nullptr;

LRESULT CALLBACK RecordPositions(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == PBM_SETPOS)
        g_positions.push_back(static_cast<int>(wParam));
    return ::CallWindowProcW(g_progressProc, bar, message, wParam, lParam);
}

class Win32DialogTest : public testing::Test {
protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        ::InitCommonControlsEx(&controls);
        ASSERT_TRUE(m_dlg.Create(nullptr));
    }

    std::wstring Field(int id) const {
        wchar_t text[1024] = {};
        ::GetDlgItemTextW(m_dlg.GetSafeHwnd(), id, text, 1024);
        return text;
    }
    void Type(int id, const std::wstring& text) { ::SetDlgItemTextW(m_dlg.GetSafeHwnd(), id, text.c_str()); }
    bool Checked(int id) const {
        return ::SendMessageW(m_dlg.GetDlgItem(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    int Progress() const {
        return static_cast<int>(::SendMessageW(m_dlg.GetDlgItem(IDC_PROGRESS), PBM_GETPOS, 0, 0));
    }
    // A click as the dialog manager delivers it.
    void Click(int id) {
        ::SendMessageW(m_dlg.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                       reinterpret_cast<LPARAM>(m_dlg.GetDlgItem(id)));
    }
    // A copy of a test file under a Japanese name, outside what any ANSI code page holds in full.
    std::wstring Copy(const char* media, const std::wstring& name) {
        const fs::path path = m_dir.Path() / name;
        fs::copy_file(Media(media), path, fs::copy_options::overwrite_existing);
        return path.wstring();
    }

    veltrane::test::TempDir m_dir;
    ScriptedServices m_services;
    CVeltraneDlg m_dlg{m_services};
};

TEST_F(Win32DialogTest, StartsEmptyInTo16x9WithTheAboutEntryInTheSystemMenu) {
    EXPECT_EQ(Field(IDC_SOURCE_PATH), L"");
    EXPECT_EQ(Field(IDC_DEST_PATH), L"");
    EXPECT_TRUE(Checked(IDC_MODE_TO_16_9));
    EXPECT_FALSE(Checked(IDC_MODE_TO_4_3));
    EXPECT_EQ(Progress(), 0);

    const HMENU menu = ::GetSystemMenu(m_dlg.GetSafeHwnd(), FALSE);
    const int count = ::GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    wchar_t text[256] = {};
    ::GetMenuStringW(menu, IDM_ABOUTBOX, text, 256, MF_BYCOMMAND);
    EXPECT_EQ(veltrane::Narrow(text), "Veltrane のﾊﾞｰｼﾞｮﾝ情報(&A)...");
    EXPECT_EQ(::GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    MENUITEMINFOW separator{};
    separator.cbSize = sizeof(separator);
    separator.fMask = MIIM_FTYPE;
    ::GetMenuItemInfoW(menu, count - 2, TRUE, &separator);
    EXPECT_TRUE(separator.fType & MFT_SEPARATOR);
}

struct SourceCase {
    const char* name;
    const char* media; // nullptr: a file that does not exist
    bool shown;        // the field takes the chosen path
    bool to4x3;        // radio 1001 checked afterwards (from a start in To16x9, then To4x3 for 4:3 files)
    const char* error; // "" for none
};

TEST_F(Win32DialogTest, ChoosingASourcePreselectsTheDirectionThatFlipsIt) {
    const SourceCase cases[] = {
        {"Widescreen", "mpeg2_16x9.m2v", true, true, ""},
        {"FourThree", "mpeg2_4x3.m2v", true, false, ""},
        {"UnknownAspectLeavesTheRadios", "mpeg2_square.m2v", true, true, "unknown aspect ratio"},
        {"NoHeaderKeepsTheField", "README.md", false, true, "can't find seqence_header"},
        {"MissingFileKeepsTheField", nullptr, false, true, "file open error"},
    };
    for (const SourceCase& c : cases) {
        // Start each row in the direction its outcome must change (or must leave alone).
        const bool from4x3 = std::string(c.media ? c.media : "") == "mpeg2_4x3.m2v";
        ::CheckRadioButton(m_dlg.GetSafeHwnd(), IDC_MODE_TO_16_9, IDC_MODE_TO_4_3,
                           from4x3 || c.to4x3 ? IDC_MODE_TO_4_3 : IDC_MODE_TO_16_9);
        Type(IDC_SOURCE_PATH, L"previous.mpg");
        Type(IDC_DEST_PATH, L"typed by hand.mpg");
        const std::wstring path =
            c.media ? Copy(c.media, L"映像ファイル.mpg") : (m_dir.Path() / L"無い.mpg").wstring();
        m_services.errors.clear();
        m_services.sourceChoices = {path};
        Click(IDC_BROWSE_SOURCE);

        EXPECT_EQ(Field(IDC_SOURCE_PATH), c.shown ? path : L"previous.mpg") << c.name;
        EXPECT_EQ(Checked(IDC_MODE_TO_4_3), c.to4x3) << c.name;
        EXPECT_NE(Checked(IDC_MODE_TO_16_9), c.to4x3) << c.name;
        EXPECT_EQ(Field(IDC_DEST_PATH), L"typed by hand.mpg") << c.name;
        const std::vector<std::wstring> expected =
            *c.error ? std::vector<std::wstring>{veltrane::Widen(c.error)} : std::vector<std::wstring>{};
        // The system's reason, in its own language, follows a failure to open as a second line.
        std::vector<std::wstring> firstLines;
        for (const std::wstring& error : m_services.errors)
            firstLines.push_back(error.substr(0, error.find(L'\n')));
        EXPECT_EQ(firstLines, expected) << c.name;
        if (!c.media && !m_services.errors.empty()) {
            EXPECT_NE(m_services.errors.front().find(L'\n'), std::wstring::npos) << c.name;
        }
    }
    // Cancelling shows nothing and changes nothing.
    m_services.errors.clear();
    Click(IDC_BROWSE_SOURCE);
    EXPECT_EQ(Field(IDC_SOURCE_PATH), L"previous.mpg");
    EXPECT_TRUE(m_services.errors.empty());
}

TEST_F(Win32DialogTest, RunsTheConversionUnderJapaneseNamesWithProgressAndOneBeep) {
    const std::wstring source = Copy("mpeg2_4x3.m2v", L"変換前 ｱｽﾍﾟｸﾄ.m2v");
    const fs::path dest = m_dir.Path() / L"変換後 16x9.mpg";
    m_services.sourceChoices = {source};
    m_services.destChoices = {dest.wstring()};
    Click(IDC_BROWSE_SOURCE);
    Click(IDC_BROWSE_DEST);
    EXPECT_EQ(Field(IDC_DEST_PATH), dest.wstring());

    const HWND bar = m_dlg.GetDlgItem(IDC_PROGRESS);
    g_progressProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordPositions)));
    for (int run = 0; run < 2; ++run) {
        g_positions.clear();
        Click(IDC_RUN);
        ASSERT_FALSE(g_positions.empty()) << "run " << run;
        EXPECT_EQ(g_positions.front(), 0) << "run " << run; // a second run starts from 0 again
        EXPECT_EQ(Progress(), veltrane::PROGRESS_MAX);
    }
    ::SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_progressProc));
    EXPECT_EQ(m_services.destExtensions, std::vector<std::wstring>{L"m2v"}); // the source's type
    EXPECT_TRUE(veltrane::test::SameBytes(
        veltrane::test::ReadAll(veltrane::test::Utf8(dest)),
        veltrane::test::ReadAll(veltrane::test::Utf8(Media("mpeg2_4x3_as_16x9.golden.m2v")))));
    EXPECT_EQ(m_services.beeps, 2);
    EXPECT_EQ(m_services.waitBegins, 3); // the source's probe and the two runs
    EXPECT_EQ(m_services.waitEnds, 3);
    EXPECT_TRUE(m_services.errors.empty());
}

// A file dropped onto the destination field becomes the destination; anywhere else, the source, probed
// as a chosen one. Nothing is taken while a modal window (which disables this one) stands over it.
TEST_F(Win32DialogTest, DroppedFilesGoToTheFieldTheyLandOn) {
    const std::wstring wide = Copy("mpeg2_16x9.m2v", L"ワイド.m2v");
    const std::wstring dest = (m_dir.Path() / L"出力.mpg").wstring();
    const auto centre = [&](int id) {
        RECT rect{};
        ::GetWindowRect(m_dlg.GetDlgItem(id), &rect);
        ::MapWindowPoints(nullptr, m_dlg.GetSafeHwnd(), reinterpret_cast<POINT*>(&rect), 2);
        return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    };
    const auto drop = [&](const std::wstring& file, POINT at) {
        ::SendMessageW(m_dlg.GetSafeHwnd(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(file, at)), 0);
    };

    ::EnableWindow(m_dlg.GetSafeHwnd(), FALSE);
    drop(wide, centre(IDC_RUN));
    EXPECT_EQ(Field(IDC_SOURCE_PATH), L"");
    ::EnableWindow(m_dlg.GetSafeHwnd(), TRUE);

    drop(dest, centre(IDC_DEST_PATH));
    EXPECT_EQ(Field(IDC_DEST_PATH), dest);
    EXPECT_EQ(Field(IDC_SOURCE_PATH), L"");
    drop(wide, centre(IDC_PROGRESS));
    EXPECT_EQ(Field(IDC_SOURCE_PATH), wide);
    EXPECT_TRUE(Checked(IDC_MODE_TO_4_3));
    EXPECT_EQ(Field(IDC_DEST_PATH), dest);
    EXPECT_TRUE(m_services.errors.empty());
}

// A DVD folder dropped onto the window is converted whole into the folder chosen: its first title set
// (4:3) chooses the direction, and every IFO and BUP attribute of the copy declares 16:9. The disc is
// authored with dvdauthor on the host (scripts/test-windows), which wine cannot run.
TEST_F(Win32DialogTest, ConvertsADroppedDvdFolderIntoAFolder) {
    const char* authored = std::getenv("VELTRANE_TEST_DVD");
    if (!authored)
        GTEST_SKIP() << "VELTRANE_TEST_DVD names no DVD folder (scripts/test-windows authors one)";
    const fs::path dvd = m_dir.Path() / L"ディスク", out = m_dir.Path() / L"出力";
    fs::copy(veltrane::test::FsPath(authored), dvd, fs::copy_options::recursive);
    ::CheckRadioButton(m_dlg.GetSafeHwnd(), IDC_MODE_TO_16_9, IDC_MODE_TO_4_3, IDC_MODE_TO_4_3);
    ::SendMessageW(m_dlg.GetSafeHwnd(), WM_DROPFILES,
                   reinterpret_cast<WPARAM>(MakeDrop(dvd.wstring(), {1, 1})), 0);
    EXPECT_EQ(Field(IDC_SOURCE_PATH), dvd.wstring());
    EXPECT_TRUE(Checked(IDC_MODE_TO_16_9));
    m_services.destChoices = {out.wstring()};
    Click(IDC_BROWSE_DEST);
    Click(IDC_RUN);

    EXPECT_EQ(m_services.destExtensions, std::vector<std::wstring>{L"folder"});
    EXPECT_TRUE(m_services.errors.empty()) << veltrane::Narrow(m_services.errors.front());
    EXPECT_EQ(m_services.beeps, 1);
    EXPECT_EQ(Progress(), veltrane::PROGRESS_MAX);
    int attributes = 0;
    for (const auto& entry : fs::directory_iterator(out / L"VIDEO_TS")) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.find(L".VOB") != std::wstring::npos)
            continue;
        veltrane::disc::IfoImage image;
        const bool manager = name.rfind(L"VIDEO_TS", 0) == 0;
        ASSERT_EQ(veltrane::disc::LoadIfo(veltrane::test::Utf8(entry.path()), manager,
                                          manager ? 0 : std::stoi(name.substr(4, 2)), image),
                  veltrane::disc::IfoFault::None);
        for (const veltrane::disc::VideoAttribute& attribute : image.attributes) {
            if (attribute.group.titleSet > 0 && !attribute.group.menus) {
                ++attributes;
                EXPECT_EQ(attribute.Aspect(), veltrane::disc::AttributeAspect::Ratio16x9)
                    << veltrane::Narrow(name);
            }
        }
    }
    EXPECT_EQ(attributes, 8); // two title sets' titles, in their own IFO and BUP and in the manager's
}

// `veltrane FILE`: the file is opened as the source once the window is up, as if chosen.
TEST(Win32DialogArgument, OpensTheFileAsTheSourceOnceTheWindowIsUp) {
    veltrane::test::TempDir dir;
    const fs::path path = dir.Path() / L"引数 16x9.m2v";
    fs::copy_file(Media("mpeg2_16x9.m2v"), path);
    ScriptedServices services;
    CVeltraneDlg dlg(services, path.wstring());
    ASSERT_TRUE(dlg.Create(nullptr));
    PumpMessages();
    wchar_t text[1024] = {};
    ::GetDlgItemTextW(dlg.GetSafeHwnd(), IDC_SOURCE_PATH, text, 1024);
    EXPECT_EQ(text, path.wstring());
    EXPECT_EQ(::SendDlgItemMessageW(dlg.GetSafeHwnd(), IDC_MODE_TO_4_3, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_TRUE(services.errors.empty());
}

struct RunMessage {
    const char* name;
    const char* media;   // the source: a copy of this test file, nullptr for an empty field
    const wchar_t* dest; // "=" for the source itself, "" for an empty field, else a name in the folder
    const char* error;   // a failure's text; or, for a run that rewrote nothing, its notice's string id
    int info = 0;
};

// A failed run shows one error, no beep and no progress, and leaves the source alone; a run that goes
// through but changes nothing says so in an information box instead of beeping, and the copy is made
// all the same.
TEST_F(Win32DialogTest, EveryRunThatDoesNotBeepSaysWhy) {
    const RunMessage cases[] = {
        {"EmptySource", nullptr, L"out.mpg", "can't open input file"},
        {"EmptyDest", "mpeg2_16x9.m2v", L"", "can't open output file."},
        {"DestIsTheSource", "mpeg2_16x9.m2v", L"=", "can't open output file."},
        {"DestInAMissingFolder", "mpeg2_16x9.m2v", L"無い\\out.mpg", "can't open output file."},
        // In the direction the dialog starts in, 4:3 -> 16:9.
        {"Already16x9", "mpeg2_16x9.m2v", L"copy.m2v", "", IDS_OTHER_ASPECT_NOT_FOUND},
        {"NoHeader", "README.md", L"copy.m2v", "", IDS_NO_SEQUENCE_HEADER},
    };
    for (const RunMessage& c : cases) {
        SCOPED_TRACE(c.name);
        m_services.errors.clear();
        m_services.infos.clear();
        const std::wstring source = c.media ? Copy(c.media, L"元.m2v") : L"";
        const std::wstring dest = std::wstring(c.dest) == L"=" ? source
                                  : *c.dest                    ? (m_dir.Path() / c.dest).wstring()
                                                               : L"";
        Type(IDC_SOURCE_PATH, source);
        Type(IDC_DEST_PATH, dest);
        Click(IDC_RUN);
        wchar_t info[512] = {};
        ::LoadStringW(::GetModuleHandleW(nullptr), static_cast<UINT>(c.info), info, 512);
        EXPECT_EQ(m_services.infos, c.info ? std::vector<std::wstring>{info} : std::vector<std::wstring>{});
        // A failure's text is the engine's, with the system's reason as a second line.
        ASSERT_EQ(m_services.errors.size(), c.info ? 0u : 1u);
        if (!c.info) {
            const std::wstring& shown = m_services.errors.front();
            EXPECT_EQ(shown.substr(0, shown.find(L'\n')), veltrane::Widen(c.error));
            EXPECT_TRUE(shown.find(L'\n') != std::wstring::npos && shown.back() != L'\n');
        }
        if (std::string(c.name) == "DestIsTheSource") {
            EXPECT_EQ(m_services.errors.front(),
                      veltrane::Widen(std::string(c.error) + "\nthe destination is the source file itself"));
        }
        EXPECT_EQ(m_services.beeps, 0);
        EXPECT_EQ(m_services.waitEnds, m_services.waitBegins);
        if (!c.media)
            continue;
        EXPECT_TRUE(veltrane::test::SameBytes(veltrane::test::ReadAll(veltrane::Narrow(source)),
                                              veltrane::test::ReadAll(veltrane::test::Utf8(Media(c.media)))));
        if (c.info) {
            EXPECT_TRUE(
                veltrane::test::SameBytes(veltrane::test::ReadAll(veltrane::Narrow(dest)),
                                          veltrane::test::ReadAll(veltrane::test::Utf8(Media(c.media)))));
        } else {
            EXPECT_EQ(Progress(), 0);
        }
    }
}

// The texts a dialog's controls show, in template order, and those wider than their control in the
// control's own font. The radio buttons' texts, the same in every language, are left out of the fit: in
// wine's stand-in for the dialog font they lose a pixel or two.
std::vector<std::wstring> ShownTexts(HWND dialog, std::vector<std::wstring>& overflowing) {
    std::vector<std::wstring> texts;
    for (HWND control = ::GetWindow(dialog, GW_CHILD); control; control = ::GetWindow(control, GW_HWNDNEXT)) {
        wchar_t text[256] = {}, kind[32] = {};
        ::GetWindowTextW(control, text, 256);
        ::GetClassNameW(control, kind, 32);
        const LONG style = ::GetWindowLongW(control, GWL_STYLE);
        if (!*text || std::wstring(kind) == L"Edit" || std::wstring(kind) == PROGRESS_CLASSW)
            continue;
        texts.push_back(text);
        const HDC dc = ::GetDC(control);
        const HGDIOBJ previous =
            ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)));
        RECT needed{}, client{};
        ::DrawTextW(dc, text, -1, &needed, DT_CALCRECT | DT_SINGLELINE);
        ::SelectObject(dc, previous);
        ::ReleaseDC(control, dc);
        ::GetClientRect(control, &client);
        const bool radio = (style & BS_TYPEMASK) == BS_AUTORADIOBUTTON && std::wstring(kind) == L"Button";
        const int margins =
            std::wstring(kind) == L"Button" && (style & BS_TYPEMASK) <= BS_DEFPUSHBUTTON ? 4 : 0;
        if (!radio && needed.right + margins > client.right)
            overflowing.push_back(text);
    }
    return texts;
}

// Each language's block, or the block of its language from another country; English where there is
// none. In each language the window and the About box show its texts, each fitting its control, and the
// mnemonics in the window are unique.
TEST(Win32DialogLanguage, FollowsTheUserInterfaceLanguage) {
    struct Language {
        const char* name;
        LANGID user;
        LANGID block; // what ResourceLanguageFor gives: 0 where the resources have no block of the language
        const wchar_t* runExitAbout;
        const wchar_t* aboutCaption;
    };
    const LANGID german = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN),
                 french = MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH),
                 spanish = MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN),
                 chinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
    const Language languages[] = {
        {"Japanese", MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN),
         MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), L"実行(&R)終了(&X)Veltrane のﾊﾞｰｼﾞｮﾝ情報(&A)...",
         L"Veltraneのﾊﾞｰｼﾞｮﾝ情報"},
        {"English", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
         MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), L"&RunE&xit&About Veltrane...", L"About Veltrane"},
        {"German", german, german, L"&Starten&Beenden&Info über Veltrane...", L"Info über Veltrane"},
        {"Swiss German", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_SWISS), german,
         L"&Starten&Beenden&Info über Veltrane...", L"Info über Veltrane"},
        {"French", french, french, L"&Lancer&QuitterÀ &propos de Veltrane...", L"À propos de Veltrane"},
        {"Canadian French", MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH_CANADIAN), french,
         L"&Lancer&QuitterÀ &propos de Veltrane...", L"À propos de Veltrane"},
        {"Spanish", spanish, spanish, L"&ConvertirSa&lir&Acerca de Veltrane...", L"Acerca de Veltrane"},
        {"Mexican Spanish", MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MEXICAN), spanish,
         L"&ConvertirSa&lir&Acerca de Veltrane...", L"Acerca de Veltrane"},
        {"Italian", MAKELANGID(LANG_ITALIAN, SUBLANG_ITALIAN), MAKELANGID(LANG_ITALIAN, SUBLANG_ITALIAN),
         L"&Avvia&Esci&Informazioni su Veltrane...", L"Informazioni su Veltrane"},
        {"Simplified Chinese", chinese, chinese, L"转换(&R)退出(&X)关于 Veltrane(&A)...", L"关于 Veltrane"},
        {"Singapore Chinese", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SINGAPORE), chinese,
         L"转换(&R)退出(&X)关于 Veltrane(&A)...", L"关于 Veltrane"},
        {"Traditional Chinese", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL), 0, nullptr, nullptr},
        {"Portuguese", MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN), 0, nullptr, nullptr},
    };
    const LANGID previous = ::GetThreadUILanguage();
    const LCID previousLocale = ::GetThreadLocale();
    for (const Language& language : languages) {
        SCOPED_TRACE(language.name);
        EXPECT_EQ(veltrane::ResourceLanguageFor(language.user), language.block);
        if (!language.block)
            continue; // the system's own choice: English on Windows, the prefix's Japanese under wine
        // As SelectResourceLanguage sets it.
        ::SetThreadUILanguage(language.block);
        ::SetThreadLocale(MAKELCID(language.block, SORT_DEFAULT));
        ScriptedServices services;
        CVeltraneDlg dlg(services);
        ASSERT_TRUE(dlg.Create(nullptr));
        CAboutDlg about(&dlg);
        ASSERT_TRUE(about.Create(dlg.GetSafeHwnd()));
        wchar_t run[64] = {}, exit[64] = {}, menu[64] = {}, caption[64] = {};
        ::GetDlgItemTextW(dlg.GetSafeHwnd(), IDC_RUN, run, 64);
        ::GetDlgItemTextW(dlg.GetSafeHwnd(), IDCANCEL, exit, 64);
        ::GetMenuStringW(::GetSystemMenu(dlg.GetSafeHwnd(), FALSE), IDM_ABOUTBOX, menu, 64, MF_BYCOMMAND);
        ::GetWindowTextW(about.GetSafeHwnd(), caption, 64);
        EXPECT_EQ(std::wstring(run) + exit + menu, language.runExitAbout);
        EXPECT_EQ(std::wstring(caption), language.aboutCaption);
        std::vector<std::wstring> overflowing;
        std::wstring mnemonics;
        for (const std::wstring& text : ShownTexts(dlg.GetSafeHwnd(), overflowing)) {
            const std::size_t at = text.find(L'&');
            if (at != std::wstring::npos && at + 1 < text.size())
                mnemonics += static_cast<wchar_t>(std::towupper(text[at + 1]));
        }
        ShownTexts(about.GetSafeHwnd(), overflowing);
        EXPECT_EQ(overflowing, std::vector<std::wstring>{});
        std::wstring unique = mnemonics;
        std::sort(unique.begin(), unique.end());
        unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
        EXPECT_EQ(mnemonics.size(), 4u);
        EXPECT_EQ(unique.size(), mnemonics.size()) << veltrane::Narrow(mnemonics);
    }
    ::SetThreadUILanguage(previous);
    ::SetThreadLocale(previousLocale);
}

TEST_F(Win32DialogTest, SwallowsEnterAndEscapeAimedAtTheWindowOrItsControls) {
    const HWND targets[] = {m_dlg.GetSafeHwnd(), m_dlg.GetDlgItem(IDC_SOURCE_PATH),
                            m_dlg.GetDlgItem(IDC_RUN)};
    for (const HWND target : targets) {
        for (const WPARAM key : {WPARAM{VK_RETURN}, WPARAM{VK_ESCAPE}}) {
            MSG down{target, WM_KEYDOWN, key, 0, 0, {}};
            EXPECT_TRUE(m_dlg.PreTranslateMessage(&down)) << key;
        }
        MSG letter{target, WM_KEYDOWN, 'A', 0, 0, {}};
        EXPECT_FALSE(m_dlg.PreTranslateMessage(&letter));
        MSG close{target, WM_SYSKEYDOWN, VK_F4, 0, 0, {}};
        EXPECT_FALSE(m_dlg.PreTranslateMessage(&close)); // Alt+F4 still closes the window
    }
}

// The About box runs modally; a timer, served by its own message loop, finds it and presses OK.
HWND g_aboutSeen = nullptr;
HWND g_aboutOwner = nullptr;

void CALLBACK CloseAbout(HWND, UINT, UINT_PTR timer, DWORD) {
    const HWND about = ::FindWindowW(L"#32770", veltrane::Widen("Veltraneのﾊﾞｰｼﾞｮﾝ情報").c_str());
    if (!about)
        return;
    g_aboutSeen = about;
    g_aboutOwner = ::GetWindow(about, GW_OWNER);
    ::KillTimer(nullptr, timer);
    ::PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

TEST_F(Win32DialogTest, TheSystemMenuEntryOpensTheAboutBoxOverTheDialog) {
    ::SetTimer(nullptr, 0, 50, CloseAbout);
    ::SendMessageW(m_dlg.GetSafeHwnd(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    ASSERT_NE(g_aboutSeen, nullptr);
    EXPECT_EQ(g_aboutOwner, m_dlg.GetSafeHwnd());
    EXPECT_FALSE(::IsWindow(g_aboutSeen)); // gone once it returned
    EXPECT_TRUE(::IsWindowEnabled(m_dlg.GetSafeHwnd()));
}

} // namespace
