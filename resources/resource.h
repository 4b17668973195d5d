// Resource ids of veltrane.rc, read by the Windows program and, through the generated table, the Qt one.
#pragma once

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDS_OTHER_ASPECT_NOT_FOUND 103
#define IDS_NO_SEQUENCE_HEADER 104
#define IDS_DISC_OUTPUT_TAKEN 105
#define IDR_MAINFRAME 128
#define IDC_MODE_TO_16_9 1000
#define IDC_MODE_TO_4_3 1001
#define IDC_SOURCE_PATH 1002
#define IDC_DEST_PATH 1003
#define IDC_BROWSE_SOURCE 1004
#define IDC_BROWSE_DEST 1005
#define IDC_RUN 1006
#define IDC_PROGRESS 1007
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
