// The command ids and resource names that the target operations use, shared
// with the user interface and the resource script (so plain preprocessor
// definitions only).
#ifndef K4471_OPERATIONS_OPERATION_IDS_H
#define K4471_OPERATIONS_OPERATION_IDS_H

// Sent by a worker to the main window after a communication failure.
#define CMD_LINK_LOST 650

// Sent by a worker to its progress dialog: advance a bar by one step.
#define CMD_STEP_ERASE 1002
#define CMD_STEP_PROGRAM 1003

// Labels of the progress dialogs.
#define CTL_ERASE_LABEL 202
#define CTL_PROGRAM_LABEL 203

// The progress dialogs.
#define PROGRAM_DIALOG_NAME "progDB"
#define PROGRAM_BOOT_DIALOG_NAME "progbootDB"
#define ERASE_DEFAULT_DIALOG_NAME "erasedefDB"
#define ERASE_ALL_DIALOG_NAME "eraseallDB"

#endif
