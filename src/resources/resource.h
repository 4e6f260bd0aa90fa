// Resource and control identifiers shared by the .rc files and the code.
#pragma once

// Dialog templates
#define IDD_CRC_CHECK 103
#define IDD_DESTINATION 202
#define IDD_OVERWRITE 2007
#define IDD_PROGRESS 2008

// Group icons
#define IDI_APPLICATION_ICON 200
#define IDI_REPLACE_FILE 205

// Controls
#define IDC_BROWSE 1000
#define IDC_DESTINATION 1001
#define IDC_YES_TO_ALL 1003
#define IDC_PROGRESS_BAR 1004
#define IDC_NEWER 1004
#define IDC_EXISTING_DETAILS 1005
#define IDC_FILE_NAME 1006
#define IDC_OVERWRITE_CANCEL 1007
#define IDC_INCOMING_DETAILS 1008
#define IDC_FILE_LINE 1009
#define IDC_EXISTING_ICON 1010
#define IDC_INCOMING_ICON 1011
#define IDC_ARCHIVE_FOLDER 1012
#define IDC_PICTURE 121
#define IDC_ANIMATION 1

// Animation resource inside shell32.dll
#define SHELL32_COPY_ANIMATION 161
