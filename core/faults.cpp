#include "faults.h"

void clear_fault_list(FaultList& f) {
    f.err_message.clear();
    f.ShowErrorFlag = 0;
}

void add_fault(FaultList& f, int channel) {
    if (channel < 0 || channel >= int(f.t_errors.size())) return;
    f.err_message += 'T';
    f.err_message += std::to_string(channel + 1);
    f.err_message += ' ';
    if (f.t_errors[channel] == 0) f.ShowErrorFlag = 1;
    f.t_errors[channel] = 1;
}

bool alert_due(const FaultList& f) { return !f.err_message.empty() && f.ShowErrorFlag == 1; }

void clear_latches(FaultList& f) {
    f.ShowErrorFlag = 0;
    f.t_errors.fill(0);
}
