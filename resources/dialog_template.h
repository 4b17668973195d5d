// The window texts, resource ids and dialog-unit geometry of the main dialog and the About box.
#pragma once

#include <span>

namespace veltrane::res {

// Resource ids, kept at their historic values so that the Windows .rc and the Qt code agree.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_MAIN = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDC_MODE_TO_16_9 = 1000;
inline constexpr int IDC_MODE_TO_4_3 = 1001;
inline constexpr int IDC_SOURCE_PATH = 1002;
inline constexpr int IDC_DEST_PATH = 1003;
inline constexpr int IDC_BROWSE_SOURCE = 1004;
inline constexpr int IDC_BROWSE_DEST = 1005;
inline constexpr int IDC_RUN = 1006;
inline constexpr int IDC_PROGRESS = 1007;
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDM_ABOUTBOX = 0x0010;

enum class ItemKind { Label, Edit, PushButton, DefaultPushButton, GroupBox, RadioButton, Progress, Icon };

// One control of a dialog template; x, y, width and height are in dialog units.
struct DialogItem {
    int id;
    ItemKind kind;
    const char* text; // UTF-8
    int x;
    int y;
    int width;
    int height;
};

struct DialogTemplate {
    const char* caption; // UTF-8
    int width;
    int height;
    std::span<const DialogItem> items; // in creation and tab order
};

// The dialog font: asked for by name; where it is missing the font system picks a stand-in.
inline constexpr const char* DIALOG_FONT_FAMILY = "ＭＳ Ｐゴシック";
inline constexpr int DIALOG_FONT_POINTS = 9;

inline constexpr const char* IDS_ABOUTBOX_TEXT = "Veltrane のﾊﾞｰｼﾞｮﾝ情報(&A)...";

inline constexpr DialogItem MAIN_ITEMS[] = {
    {IDC_STATIC, ItemKind::Label, "変換前ﾌｧｲﾙ(&I)：", 7, 7, 47, 14},
    {IDC_SOURCE_PATH, ItemKind::Edit, "", 61, 7, 136, 14},
    {IDC_BROWSE_SOURCE, ItemKind::PushButton, "参照...", 201, 7, 27, 14},
    {IDC_STATIC, ItemKind::Label, "変換後ﾌｧｲﾙ(&O)：", 7, 29, 50, 14},
    {IDC_DEST_PATH, ItemKind::Edit, "", 61, 29, 136, 14},
    {IDC_BROWSE_DEST, ItemKind::PushButton, "参照...", 201, 29, 27, 14},
    {IDC_STATIC, ItemKind::GroupBox, "変換ﾓｰﾄﾞ", 7, 47, 221, 30},
    {IDC_MODE_TO_16_9, ItemKind::RadioButton, "4:3 → 16:9", 47, 61, 47, 10},
    {IDC_MODE_TO_4_3, ItemKind::RadioButton, "16:9 → 4:3", 139, 61, 47, 10},
    {IDC_PROGRESS, ItemKind::Progress, "Progress1", 7, 84, 221, 14},
    {IDC_RUN, ItemKind::PushButton, "実行(&R)", 142, 104, 41, 14},
    {IDCANCEL, ItemKind::PushButton, "終了(&X)", 187, 104, 41, 14},
};

inline constexpr DialogTemplate IDD_MAIN_TEMPLATE = {"Veltrane", 235, 125, MAIN_ITEMS};

inline constexpr DialogItem ABOUT_ITEMS[] = {
    {IDC_STATIC, ItemKind::Icon, "", 11, 17, 20, 20},
    {IDC_STATIC, ItemKind::Label, "Veltrane Version 1.0", 40, 10, 119, 8},
    {IDC_STATIC, ItemKind::Label, "MPEG ｱｽﾍﾟｸﾄ比 4:3 ⇔ 16:9", 40, 25, 119, 8},
    {IDOK, ItemKind::DefaultPushButton, "OK", 178, 7, 50, 14},
};

inline constexpr DialogTemplate IDD_ABOUTBOX_TEMPLATE = {"Veltraneのﾊﾞｰｼﾞｮﾝ情報", 235, 55, ABOUT_ITEMS};

// Icon group 128 in the Qt resource file.
inline constexpr const char* ICON_32 = ":/veltrane/icon-32.png";
inline constexpr const char* ICON_16 = ":/veltrane/icon-16.png";

} // namespace veltrane::res
