// Resource and control ids of the progress dialog (shared with the resource script).
#pragma once

#define IDD_PATCH 101
#define IDB_BANNER 102
#define IDC_PROGRESS 1000
#define IDC_STATUS 1002
#define IDC_BANNER 1005
#define IDC_TOTAL 1013
#define IDC_SPEED 1014
#define IDC_FILE 1015
