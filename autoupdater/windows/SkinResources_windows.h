// The resource numbers of the skin pictures embedded in the Windows program (skin_windows.rc.in):
// each picture of autoupdater/windows/skin/ as it is (PNG or JPEG bytes, RCDATA), its @2x variant
// at its number plus kSkinSharpOffset. Shared by the resource script and the code.
#pragma once

#define IDI_VORN_UPDATER 1

#define IDR_SKIN_BACKGROUND 101
#define IDR_SKIN_CANCEL_UP 102
#define IDR_SKIN_CANCEL_DOWN 103
#define IDR_SKIN_CLOSE_UP 104
#define IDR_SKIN_CLOSE_DOWN 105
#define IDR_SKIN_CLOSE_FOCUS 106
#define IDR_SKIN_UPDATEINFO_UP 107
#define IDR_SKIN_UPDATEINFO_DOWN 108
#define IDR_SKIN_UPDATEINFO_FOCUS 109

#define kSkinSharpOffset 100
