// Resource ids of the Windows dialog, shared by zodiva.rc and the code (the same numbers as
// app/qt/DialogTemplate.h, which the code checks at compile time).
#pragma once
#define IDC_STATIC (-1)
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_TESTDIALOG 102
#define IDR_MAINFRAME 128
#define IDM_ABOUTBOX 0x0010
#define IDC_GO 1000
#define IDC_CLICKME 1001
#define IDC_CLICKCOUNT 1002
#define IDC_STOP 1003
#define IDC_CONNECTIONS 1004
#define IDC_RATE 1005
#define IDC_WRITETODISK 1006
#define IDC_STATUSLIST 1010
#define IDC_CONNECTIONTABLE 1011
#define IDC_RATECHART 1012
#define IDC_DOWNLOADSUMMARY 1013
