// Control ids of the probe window and its dialog, shared with its resource script.
#pragma once

#define PROBE_START 7
#define PROBE_PAUSE 8
#define PROBE_FILE 1
#define PROBE_ERROR 5
#define PROBE_DIALOG 6
#define PROBE_COMBO 223
#define PROBE_EDIT 226
#define PROBE_OK 231
#define PROBE_CHECK 233
#define PROBE_NAME_LABEL 1000
#define PROBE_NAME 1001
#define PROBE_STATUS 1002
