// Resource numbers of the uninstall program that the client-stopping services use.
#pragma once

#define IDD_WAIT_FOR_UI 101
#define IDC_WAIT_FOR_UI_TEXT (-1)
