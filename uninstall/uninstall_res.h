// Resource numbers of the uninstall program that the client-stopping services use.
#pragma once

#define IDD_WAIT_FOR_UI 101
#define IDC_WAIT_FOR_UI_TEXT (-1)

// The uninstall program's own dialogs, icons and strings.
#define IDD_UNINSTALL 102
#define IDD_UNINSTALL_PROGRESS 103
#define IDI_UNINSTALL 128
#define IDI_BULLET 290
#define IDI_CHECK 292
#define IDC_CONFIRM_TEXT 1010
#define IDC_PROGRESS_TITLE 1011
#define IDC_ROW_LABEL1 1012
#define IDC_ROW_LABEL2 1013
#define IDC_ROW_LABEL3 1014
#define IDC_ROW_LABEL4 1015
#define IDC_ROW_LABEL5 1016
#define IDC_BULLET1 1000
#define IDC_BULLET2 1001
#define IDC_BULLET3 1002
#define IDC_BULLET4 1003
#define IDC_BULLET5 1004
#define IDC_CHECK1 1025
#define IDC_CHECK2 1024
#define IDC_CHECK3 1023
#define IDC_CHECK4 1022
#define IDC_CHECK5 1026
#define IDS_STOP_CLIENT_FAILED 1001

// The upgrade's messages: file errors 100-105 (formatted with the paths), the outcomes 106-110,
// and the caption of every upgrade message.
#define IDS_ERROR_OPEN 100
#define IDS_ERROR_CREATE 101
#define IDS_ERROR_WRITE 102
#define IDS_ERROR_READ 103
#define IDS_ERROR_CREATE_DIRECTORY 104
#define IDS_ERROR_RENAME 105
#define IDS_UPGRADE_FAILED_RESTORED 106
#define IDS_UPGRADE_FAILED_REINSTALL 107
#define IDS_BACKUP_FAILED 108
#define IDS_CLIENT_NOT_INSTALLED 109
#define IDS_UPGRADE_SUCCEEDED 110
#define IDS_UPGRADE_CAPTION 1000
