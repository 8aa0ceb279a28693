#pragma once
// The button row's commands and the run states they drive.
void on_command(int id, int notification);
// Pause as a click on the Pause button would: the poller's way to stop after a failure.
void pause_acquisition();
