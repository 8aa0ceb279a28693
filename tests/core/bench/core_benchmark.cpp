// Cost per line of the two text paths a reading takes: a meter line from the serial port to
// its data line, and a data server's reply to a reading. Figures only; nothing here fails.
#include <benchmark/benchmark.h>

#include <string>

#include "device_line.h"
#include "reading.h"

namespace {

std::string example_meter_line() {
    return std::string("00004521") + " " + "  23.45" + "  23.51" + "       " + " ******" +
           "  -1.50" + " 101.20" + "  22.00" + "       " + "  19.75" + "  20.10" + "  20.05" +
           "  20.00" + "\r\n";
}

const char* const kExampleDataLine =
    "125 2024-05-17-09-41-07 00004521 23.45 23.51 N/SENS ERROR -1.50 101.20 22.00 N/SENS 19.75 "
    "20.10 20.05 20.00";

// Bytes in, data line out: the line is gathered byte by byte, chosen and parsed.
void MeterLineToDataLine(benchmark::State& state) {
    const std::string bytes = example_meter_line();
    LineAssembler assembler;
    MeterState meter;
    meter.first_line_seen = true;
    FaultList faults;
    Reading reading;
    for (auto _ : state) {
        for (char c : bytes) {
            if (!assembler.push(c)) continue;
            if (accept_device_line(assembler.line(), assembler.length(), meter.first_line_seen)) {
                std::string data = parse_device_line(assembler.line(), 125, "2024-05-17-09-41-07",
                                                     reading, meter, faults);
                benchmark::DoNotOptimize(data);
            }
            assembler.clear();
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * std::int64_t(bytes.size()));
}
BENCHMARK(MeterLineToDataLine);

// A reply, as one receive, read into a reading.
void DataLineToReading(benchmark::State& state) {
    const std::string reply = kExampleDataLine;
    Reading reading;
    FaultList faults;
    for (auto _ : state) {
        parse_data_line(reply, reading, faults);
        benchmark::DoNotOptimize(reading);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * std::int64_t(reply.size()));
}
BENCHMARK(DataLineToReading);

}  // namespace

BENCHMARK_MAIN();
