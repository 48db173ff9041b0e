// Resource ids, shared by launcher.rc and the code (plain #defines so that windres reads them).
#pragma once

#define IDD_PROGRESS 102      // the progress window's dialog template
#define IDI_LAUNCHER 107      // the program's icon group
#define IDC_PROGRESS_BAR 1000 // the bar's frame; the bar is painted inside it
// The publisher's texts, in string table block 13 (ids 192 to 207): `sfx pack` writes them.
#define IDS_FAILURE_CAPTION 200   // the failure message's caption
#define IDS_PUBLISHER_ADDRESS 201 // the address the failure message names

// Colour of the bar as a COLORREF (0x00BBGGRR): red 160, green 36, blue 10.
#define PROGRESS_BAR_COLOUR 0x0A24A0
