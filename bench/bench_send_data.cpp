// The tool's own work per piece of a bulk transfer (sendData): the write call through
// ComPortAPI, the percentage arithmetic and its console text. Measured on the virtual platform
// with a scripted far end that takes everything (no line time is simulated work: the virtual
// clock just moves), so what remains is the tool's loop plus the platform's record of each write.
#include "CommandProtocol.h"
#include "ComPortAPI.h"
#include "WorkingBuffers.h"

#include "VirtualConsole.h"
#include "VirtualPlatform.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

void sendDataPerPiece(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    if (!WorkingBuffers_Setup()) {
        state.SkipWithError("no memory");
        return;
    }
    std::vector<uint8_t> image(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7);
    }
    const int pieces = (length + DATA_PIECE_SIZE - 1) / DATA_PIECE_SIZE;
    for (auto _ : state) {
        state.PauseTiming();
        virtual_platform::reset();
        virtual_platform::attachScriptedFarEnd(1);
        ComPortAPI_SetBaudRate(115200);
        if (!ComPortAPI_OpenCOM(1)) {
            state.SkipWithError("open failed");
            break;
        }
        state.ResumeTiming();
        // No closing reply is gathered: that is one read time-out of waiting, not work.
        if (!sendData(image.data(), length, 1, nullptr)) {
            state.SkipWithError("transfer failed");
            break;
        }
        state.PauseTiming();
        ComPortAPI_CloseCOM();
        state.ResumeTiming();
    }
    state.counters["per_piece"] =
        benchmark::Counter(static_cast<double>(pieces) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(length));
    virtual_platform::reset();
    WorkingBuffers_Release();
}

} // namespace

// The TX programmable-logic image's length: 104 pieces.
BENCHMARK(sendDataPerPiece)->Arg(1060788)->Unit(benchmark::kMicrosecond);
