// Per-call costs on the recording's hot paths: what the IO callback pays to hand a buffer to the
// ring, and what the writer thread pays to cancel echo in one buffer of microphone audio.

#include "audio/AudioRingBuffer.h"
#include "audio/EchoCanceller.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using harkwell::AudioRingBuffer;
using harkwell::EchoCanceller;

std::vector<float> noise(std::size_t count, float level, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<float> gauss(0.0f, level);
    std::vector<float> samples(count);
    for (float& s : samples)
        s = gauss(random);
    return samples;
}

// One IO-callback-sized buffer in, the same out, as the callback and the writer do it.
void ringWriteRead(benchmark::State& state)
{
    const int64_t frames = state.range(0);
    AudioRingBuffer ring(524'288, 2);
    const std::vector<float> in = noise(std::size_t(frames) * 2, 0.1f, 1);
    std::vector<float> out(in.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.write(in.data(), frames));
        benchmark::DoNotOptimize(ring.read(out.data(), frames));
    }
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(ringWriteRead)->Arg(512)->Arg(4096);

// The canceller on a converged echo path: microphone = delayed, attenuated reference plus noise.
void echoCancel(benchmark::State& state)
{
    const double rate = double(state.range(0));
    const int64_t frames = 1024;
    EchoCanceller canceller(rate);
    const std::vector<float> reference = noise(std::size_t(rate) * 4, 0.1f, 2);
    std::vector<float> mic = noise(reference.size(), 0.001f, 3);
    for (std::size_t i = 480; i < mic.size(); ++i)
        mic[i] += 0.5f * reference[i - 480];
    std::vector<float> output(static_cast<std::size_t>(frames));

    std::size_t at = 0;
    for (auto _ : state) {
        if (at + std::size_t(frames) > reference.size())
            at = 0;
        canceller.process(mic.data() + at, reference.data() + at, output.data(), frames);
        benchmark::DoNotOptimize(output.data());
        at += std::size_t(frames);
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.counters["x_realtime"] =
        benchmark::Counter(double(frames) / rate, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(echoCancel)->Arg(16000)->Arg(48000);

}  // namespace

BENCHMARK_MAIN();
