#pragma once
// The two acquisition paths: the serial reader thread and the network poller.

// Starts the serial reader thread; ends the process when it cannot be created.
void start_serial_reader();
// At the window's destruction: lets the reader finish the reading it is handling, waits up to
// 2 s (serving messages other threads send the window meanwhile), then terminates it if it
// still runs.
void stop_serial_reader();

// Starts window timer 1 at the poll period (at least once a second).
void start_polling();
// One tick of the poller.
void poll_server();
