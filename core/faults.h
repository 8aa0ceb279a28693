#pragma once
// The fault list of the reading being handled and the per-channel latches that decide whether
// the sensor alert is due. Only ERROR channels are listed and latched, never N/SENS ones.
#include <array>
#include <string>

struct FaultList {
    std::string err_message;       // "T%d " per channel in ERROR, in channel order
    int ShowErrorFlag = 0;         // a channel entered ERROR while its latch was clear
    std::array<int, 12> t_errors{};  // latch per channel, index 0 is T1
};

void clear_fault_list(FaultList& f);
void add_fault(FaultList& f, int channel);  // channel index 0..11
bool alert_due(const FaultList& f);
void clear_latches(FaultList& f);
