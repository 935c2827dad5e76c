// Resource ids of the cache cleaner.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_SCOURLY_DIALOG 102
#define IDC_CLEAN 1000
#define IDC_STATIC -1
