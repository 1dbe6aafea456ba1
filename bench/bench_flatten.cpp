// Flattening and checksum of the embedded firmware texts.
#include "FlatImage.h"
#include "WorkingBuffers.h"
#include "firmware/BinImage.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void flattenAndChecksum(benchmark::State& state) {
    const int index = static_cast<int>(state.range(0));
    if (!WorkingBuffers_Setup()) {
        state.SkipWithError("no memory");
        return;
    }
    const autogen_files& entry = AUTOGEN_FILES[index];
    std::vector<char> copy(static_cast<std::size_t>(entry.fileDataLength) + 16, '\0');
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(copy.data(), entry.fileData, static_cast<std::size_t>(entry.fileDataLength));
        state.ResumeTiming();
        if (!ValidateFwAndConcatenateData(copy.data())) {
            state.SkipWithError("flattening failed");
            break;
        }
        computeImageCheckSum();
        benchmark::DoNotOptimize(gDataConcatenatedCheckSum);
    }
    state.SetLabel(entry.filePath);
    state.SetBytesProcessed(state.iterations() * entry.fileDataLength);
    WorkingBuffers_Release();
}

} // namespace

BENCHMARK(flattenAndChecksum)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
