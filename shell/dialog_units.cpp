// Lays dialog templates out in pixels from the dialog font's own metrics.
#include "dialog_units.h"

#include "languages.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

namespace veltrane {

namespace {

constexpr char CONTROL_ID[] = "controlId";

QString Text(const res::DialogItem& item) {
    return ResourceText(item.text);
}

QWidget* CreateControl(QWidget& dialog, const res::DialogItem& item) {
    switch (item.kind) {
    case res::ItemKind::Label: {
        auto* label = new QLabel(Text(item), &dialog);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return label;
    }
    case res::ItemKind::Icon:
        return new QLabel(&dialog);
    case res::ItemKind::Edit:
        return new QLineEdit(&dialog);
    case res::ItemKind::PushButton:
    case res::ItemKind::DefaultPushButton: {
        auto* button = new QPushButton(Text(item), &dialog);
        // Only the template's default button reacts to Enter; Qt would make every button in a dialog
        // an auto-default one.
        button->setAutoDefault(false);
        button->setDefault(item.kind == res::ItemKind::DefaultPushButton);
        return button;
    }
    case res::ItemKind::GroupBox:
        return new QGroupBox(Text(item), &dialog);
    case res::ItemKind::RadioButton: {
        auto* radio = new QRadioButton(Text(item), &dialog);
        radio->setFocusPolicy(Qt::ClickFocus); // not a tab stop
        return radio;
    }
    case res::ItemKind::Progress: {
        auto* bar = new QProgressBar(&dialog);
        bar->setTextVisible(false);
        bar->setRange(0, 100);
        bar->setValue(0);
        return bar;
    }
    }
    return nullptr;
}

} // namespace

QFont DialogFont() {
    const QString family = QString::fromUtf8(res::DIALOG_FONT_FAMILY);
    // The dialog font's stand-ins in order, then fonts for the Simplified Chinese ideographs that a
    // Japanese font lacks: given as one list, so that a character missing from the first font found comes
    // from the next that has it, the same one on every machine with these fonts.
    const QStringList standIns{QStringLiteral("MS PGothic"), QStringLiteral("IPAPGothic"),
                               QStringLiteral("VL PGothic"), QStringLiteral("Noto Sans CJK JP")};
    if (QFont::substitutes(family).isEmpty()) {
        QFont::insertSubstitutions(family, standIns);
    }
    QFont font(family);
    font.setFamilies(QStringList{family} + standIns +
                     QStringList{QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Micro Hei"),
                                 QStringLiteral("Noto Sans CJK SC")});
    font.setPointSize(res::DIALOG_FONT_POINTS);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    // The average width is taken over the Latin alphabet and rounded, as the classic dialog manager does.
    const QFontMetrics metrics(font);
    const int width =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (width / 26 + 1) / 2;
    m_baseY = metrics.height();
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    const auto px = [this](int v) { return (v * m_baseX + 2) / 4; };
    const auto py = [this](int v) { return (v * m_baseY + 4) / 8; };
    return {px(x), py(y), px(x + width) - px(x), py(y + height) - py(y)};
}

QSize DialogUnits::ToPixels(int width, int height) const {
    return ToPixels(0, 0, width, height).size();
}

void CreateTemplateControls(QWidget& dialog, const res::DialogTemplate& dialogTemplate) {
    dialog.setFont(DialogFont());
    dialog.setWindowTitle(ResourceText(dialogTemplate.caption));
    const DialogUnits units(dialog.font());
    for (const res::DialogItem& item : dialogTemplate.items) {
        QWidget* control = CreateControl(dialog, item);
        control->setGeometry(units.ToPixels(item.x, item.y, item.width, item.height));
        control->setProperty(CONTROL_ID, item.id);
    }
    dialog.setFixedSize(units.ToPixels(dialogTemplate.width, dialogTemplate.height));
}

QWidget* FindControl(const QWidget& dialog, int id) {
    for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->property(CONTROL_ID) == id) {
            return child;
        }
    }
    return nullptr;
}

} // namespace veltrane
