// Lays dialog templates out in pixels from the dialog font's own metrics.
#pragma once

#include "dialog_template.h"

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace veltrane {

// The dialog font, with the usual stand-ins registered for systems that lack it.
QFont DialogFont();

// A horizontal dialog unit is a quarter of the font's average character width, a vertical one an
// eighth of its height, so a layout keeps its proportions on any font and any scale.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    QRect ToPixels(int x, int y, int width, int height) const;
    QSize ToPixels(int width, int height) const;

private:
    int m_baseX;
    int m_baseY;
};

// Creates the template's controls as children of `dialog`, in template order (which Qt takes as the
// tab order), and fixes the dialog's size. Controls carry their id in the "controlId" property.
void CreateTemplateControls(QWidget& dialog, const res::DialogTemplate& dialogTemplate);

// The control with `id` that CreateTemplateControls made, or nullptr.
QWidget* FindControl(const QWidget& dialog, int id);

} // namespace veltrane
