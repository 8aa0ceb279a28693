// Control, dialog and resource ids of the monitor: the one place they are defined.
#pragma once

#define IDI_ZK47 500

// Main window: command buttons, labels, file name.
#define ID_FILE 1
#define ID_GRAPH 2
#define ID_SNAPSHOT 3
#define ID_JOURNAL 4
#define ID_SERVER 5
#define ID_START 7
#define ID_PAUSE 8
#define ID_CONTINUE 9
#define ID_HEADER_FIRST 10       /* header labels 10..23 */
#define ID_SERVER_LABEL 400
#define ID_FILE_LABEL 1000
#define ID_FILE_FIELD 1001
#define ID_TIME_CELL_FIRST 1368  /* column 0 cells, rows 0..7 */
#define ID_METER_CELL_FIRST 1376 /* column 1 cells, rows 0..7 */
#define ID_CHANNEL_CELL_FIRST 1384 /* channel n, row r: 1384 + 8n + r */

// Settings dialog.
#define IDC_IFACE_GROUP 222
#define IDC_SOURCE 223
#define IDC_SERVER_GROUP 224
#define IDC_IP_LABEL 225
#define IDC_IP 226
#define IDC_PORT_LABEL 227
#define IDC_PORT 228
#define IDC_PERIOD_LABEL 229
#define IDC_PERIOD 230
#define IDC_SETTINGS_OK 231
#define IDC_PLOT_GROUP 232
#define IDC_LINES 233
#define IDC_POINTS 234
#define IDC_GPERIOD_LABEL 235
#define IDC_GPERIOD 236
#define IDC_DELETE_SCRIPTS 237
#define IDC_TIME_GROUP 238
#define IDC_ONLY_SECONDS 239

// Server port dialog.
#define IDC_SRV_PORT_LABEL 299
#define IDC_SRV_PORT 300
#define IDC_SRV_OK 301

// Sensor alert dialog.
#define IDC_ALERT_LABEL 699
#define IDC_ALERT_LIST 700
#define IDC_ALERT_OK 701
