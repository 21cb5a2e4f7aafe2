// Command ids, control ids and resource names, shared by the code and the
// resource script (so plain preprocessor definitions only).
#ifndef K4471_UI_RESOURCE_IDS_H
#define K4471_UI_RESOURCE_IDS_H

#include "operations/operation_ids.h"

// Commands of the main window: menu items, accelerators, toolbar buttons.
#define CMD_PROGRAM 610
#define CMD_ERASE 612
#define CMD_LAUNCH 613
#define CMD_CONNECT 614
#define CMD_EXIT 615
#define CMD_PORT_SETUP 620
#define CMD_FLASH_SETUP 621
#define CMD_HELP_CONTENTS 630
#define CMD_ABOUT 640

// Control id of the toolbar.
#define TOOLBAR_CONTROL_ID 630
// The toolbar's picture strip.
#define TOOLBAR_BITMAP 6000

// Port dialog. The boxes COM5 and COM6 have their ids the other way round.
#define CTL_PORT_GROUP 500
#define CTL_COM1 501
#define CTL_COM2 502
#define CTL_COM3 503
#define CTL_COM4 504
#define CTL_COM6 505
#define CTL_COM5 506
#define CTL_COM7 507
#define CTL_COM8 508
#define CTL_COM9 509
#define CTL_COM10 510

// Flash setup dialog.
#define CTL_ERASE_GROUP 700
#define CTL_ERASE_DEFAULT 701
#define CTL_ERASE_ENTIRE 702
#define CTL_PROGRAM_GROUP 800
#define CTL_PROGRAM_APPLICATION 801
#define CTL_PROGRAM_BOOTLOADER 802

// Resources referred to by name.
#define MAIN_MENU_NAME "main_menu"
#define APP_ICON_NAME "torvn1"
#define PORT_DIALOG_NAME "serialsetupDB"
#define FLASH_SETUP_DIALOG_NAME "flashsetupDB"

#endif
