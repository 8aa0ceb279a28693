#pragma once
#include <string>

// Serial path: shows the reading's fault list in a dialog of the alert thread when the alert is
// due, and goes on at once.
void raise_alert_async(const std::string& list);
// Network path: shows the dialog modally on the GUI thread and returns when it is closed.
void raise_alert_modal(const std::string& list);
