// The About box: the program's name, version and icon.
#include "about_dlg.h"

#include "dialog_template.h"
#include "dialog_units.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

using namespace veltrane;

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    CreateTemplateControls(*this, res::IDD_ABOUTBOX_TEMPLATE);

    const QIcon icon(QString::fromLatin1(res::ICON_32));
    auto* iconLabel = qobject_cast<QLabel*>(FindControl(*this, res::IDC_STATIC));
    iconLabel->setPixmap(icon.pixmap(32, 32));
    iconLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    iconLabel->resize(iconLabel->sizeHint()); // an icon control takes the icon's own size
    setWindowIcon(icon);

    for (QLabel* label : findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    connect(qobject_cast<QPushButton*>(FindControl(*this, res::IDOK)), &QPushButton::clicked, this,
            &QDialog::accept);
}
