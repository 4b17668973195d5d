// How the Qt program sees the dialog templates of veltrane.rc: controls with ids, texts and dialog-unit geometry.
#pragma once

#include <span>

namespace veltrane::res {

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

} // namespace veltrane::res

// The ids, texts and dialog templates themselves, generated from veltrane.rc.
#include "dialog_resources.h"

namespace veltrane::res {

// Icon group 128 in the Qt resource file.
inline constexpr const char* ICON_32 = ":/veltrane/icon-32.png";
inline constexpr const char* ICON_16 = ":/veltrane/icon-16.png";

} // namespace veltrane::res
