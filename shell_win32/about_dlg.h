// The About box: the program's name, version and icon.
#pragma once

#include "dialog.h"

class CAboutDlg final : public CDialog {
public:
    explicit CAboutDlg(CDialog* parent);
};
