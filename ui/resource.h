// Resource ids, shared by sonaret.rc and the code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDR_MAINFRAME 128
#define IDD_MAINDLG 129
#define IDI_FOLDER 202
#define IDI_DEVICE 204
#define IDI_SETTINGS 209

#define IDC_START 1000
#define IDC_STOP 1003
#define IDC_PEAK 1004
#define IDC_FOLDER 1006
#define IDC_CHANGE_FOLDER 1007
#define IDC_DEVICE 1011
#define IDC_BITRATE 1016
#define IDC_ABOUT_LINK 1019
#define IDC_LINK_SOURCE 1020
#define IDC_CREDITS 1021
#define IDC_CONTACT 1022
#define IDC_FEATURES 1023
#define IDC_LINK_HOME 1024
#define IDC_LINK_AUTHOR 1025

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define ID_APP_ABOUT 57664

// The About box's web addresses: its link texts (sonaret.rc) show them and
// its click handlers open them, so each is written here only.
#define SONARET_URL_SOURCE "https://git.sonaret.example/sonaret"
#define SONARET_URL_HOME "https://sonaret.example"
#define SONARET_URL_AUTHOR "https://sonaret.example/author"
