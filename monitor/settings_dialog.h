#pragma once
#include "platform.h"

// Reads zkdrv.cfg from the current directory: its port is the fallback of the dialog's port.
void read_zkdrv_cfg();
// Runs the settings dialog modally until it is confirmed; the confirmation sets up the run.
void run_settings_dialog(HWND owner);
// After the dialog: the default log name and, for a network source, the server's address.
void complete_run_setup();
