// Identifiers of the starter's resources, shared by the code and the resource script.
#pragma once

#define IDC_STATIC (-1)
#define IDS_INVALID_CODE 1
#define IDI_APP 102
#define IDD_ACCESS_CODE 129
#define IDD_PROGRESS 130
#define IDC_CODE 1000
#define IDC_CONNECT 1001
#define IDC_PROGRESS_BAR 1002
#define IDC_PROGRESS_TEXT 1003
#define IDC_MESSAGE 1004
