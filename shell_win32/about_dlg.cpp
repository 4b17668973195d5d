// The About box: the program's name, version and icon, all from its template; OK and Escape close it.
#include "about_dlg.h"

#include "resource.h"

CAboutDlg::CAboutDlg(CDialog* parent) : CDialog(IDD_ABOUTBOX, parent) {}
