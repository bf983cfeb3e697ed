// Echo canceller benchmark: Harkwell's canceller next to speexdsp (echo canceller plus its
// preprocessor's residual suppression) and webrtc-audio-processing, on one minute of synthetic
// call audio per rate. Usage: aec_bench [seconds]  (default 60)
//
// Far end: formant-synthesised speech played through an echo path (a bulk delay and a decaying
// random response of about 150 ms at about -6 dB) that changes at half time. Near end: another
// synthetic voice in marked near-only and double-talk stretches. White noise at -60 dBFS.

#include "audio/EchoCanceller.h"

#include <fftw3.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using Signal = std::vector<float>;

enum class Talk { farOnly, nearOnly, doubleTalk };

struct Stretch {
    double from, to;  // as fractions of the run
    Talk talk;
};

// The run's timeline; with 60 s: far only 0-12, near only 12-16, double talk 16-22, far only 22-38
// (the path changes at 30), near only 38-42, double talk 42-48, far only 48-60.
const Stretch kTimeline[] = {
    {0.0, 0.2, Talk::farOnly},     {0.2, 16.0 / 60, Talk::nearOnly},   {16.0 / 60, 22.0 / 60, Talk::doubleTalk},
    {22.0 / 60, 38.0 / 60, Talk::farOnly}, {38.0 / 60, 42.0 / 60, Talk::nearOnly}, {42.0 / 60, 0.8, Talk::doubleTalk},
    {0.8, 1.0, Talk::farOnly},
};

Talk talkAt(double fraction)
{
    for (const Stretch& s : kTimeline)
        if (fraction >= s.from && fraction < s.to)
            return s.talk;
    return Talk::farOnly;
}

// --- Signals ------------------------------------------------------------------------------------

// Two-pole resonator at a formant.
struct Resonator {
    double a1 = 0, a2 = 0, gain = 0, y1 = 0, y2 = 0;
    void set(double frequency, double bandwidth, double rate)
    {
        const double r = std::exp(-std::numbers::pi * bandwidth / rate);
        a1 = 2 * r * std::cos(2 * std::numbers::pi * frequency / rate);
        a2 = -r * r;
        gain = 1 - r;
    }
    double step(double x)
    {
        const double y = gain * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// Phrases of syllables (voiced vowels with gliding pitch, some fricatives), with pauses between
// phrases: enough like speech in level, spectrum and rhythm for an echo canceller.
Signal speech(int64_t count, double rate, double pitch, unsigned seed, float rmsTarget)
{
    static const double kVowels[][3] = {{730, 1090, 2440}, {270, 2290, 3010}, {530, 1840, 2480}, {660, 1720, 2410},
                                        {300, 870, 2240},  {570, 840, 2410},  {440, 1020, 2240}, {490, 1350, 1690}};
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::normal_distribution<double> normal;
    Signal out(static_cast<size_t>(count), 0.0f);
    Resonator formants[3];
    double phase = 0, glottal = 0;
    int64_t at = 0;
    while (at < count) {
        const double phraseSeconds = 1.2 + 1.8 * uniform(random);
        const int64_t phraseEnd = std::min(count, at + int64_t(phraseSeconds * rate));
        while (at < phraseEnd) {
            const auto& vowel = kVowels[size_t(uniform(random) * 8) % 8];
            const int64_t length = int64_t((0.12 + 0.2 * uniform(random)) * rate);
            const bool fricative = uniform(random) < 0.3;
            const int64_t fricLength = fricative ? int64_t(0.06 * rate) : 0;
            for (int i = 0; i < 3; ++i)
                formants[i].set(vowel[i] * (0.95 + 0.1 * uniform(random)), 60 + 40 * i, rate);
            const double f0Start = pitch * (0.9 + 0.2 * uniform(random));
            const double f0End = pitch * (0.85 + 0.2 * uniform(random));
            double hp = 0;
            for (int64_t i = 0; i < fricLength && at < count; ++i, ++at) {
                const double noise = normal(random);
                const double high = noise - hp;  // crude high-pass: hiss
                hp = noise;
                const double envelope = std::sin(std::numbers::pi * double(i) / double(fricLength));
                out[size_t(at)] = float(0.25 * high * envelope);
            }
            for (int64_t i = 0; i < length && at < count; ++i, ++at) {
                const double progress = double(i) / double(length);
                const double f0 = f0Start + (f0End - f0Start) * progress;
                phase += f0 / rate;
                double pulse = 0;
                if (phase >= 1) {
                    phase -= 1;
                    pulse = 1;
                }
                glottal = 0.96 * glottal + pulse + 0.02 * normal(random);
                double y = glottal;
                for (Resonator& f : formants)
                    y = f.step(y);
                const double envelope = std::pow(std::sin(std::numbers::pi * progress), 0.6);
                out[size_t(at)] = float(y * envelope);
            }
        }
        at = std::min(count, at + int64_t((0.2 + 0.4 * uniform(random)) * rate));  // pause
    }
    double energy = 0;
    int64_t voiced = 0;
    for (float x : out)
        if (x != 0) {
            energy += double(x) * x;
            ++voiced;
        }
    const double scale = rmsTarget / std::sqrt(energy / double(std::max<int64_t>(voiced, 1)));
    for (float& x : out)
        x = float(x * scale);
    return out;
}

// A room: bulk delay, then a random response decaying by 60 dB over its length, of norm `gain`.
Signal roomResponse(double rate, double delaySeconds, double lengthSeconds, double gain, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> normal;
    const auto delay = int64_t(delaySeconds * rate);
    const auto length = int64_t(lengthSeconds * rate);
    const double tau = lengthSeconds / std::log(1000.0);
    Signal h(size_t(delay + length), 0.0f);
    double norm = 0;
    for (int64_t t = 0; t < length; ++t) {
        const double v = normal(random) * std::exp(-double(t) / rate / tau);
        h[size_t(delay + t)] = float(v);
        norm += v * v;
    }
    for (float& v : h)
        v = float(v * gain / std::sqrt(norm));
    return h;
}

// Linear convolution by one large FFT.
Signal convolve(const Signal& x, const Signal& h)
{
    size_t size = 1;
    while (size < x.size() + h.size())
        size *= 2;
    const size_t bins = size / 2 + 1;
    float* a = fftwf_alloc_real(size);
    float* b = fftwf_alloc_real(size);
    fftwf_complex* A = fftwf_alloc_complex(bins);
    fftwf_complex* Bc = fftwf_alloc_complex(bins);
    fftwf_plan fa = fftwf_plan_dft_r2c_1d(int(size), a, A, FFTW_ESTIMATE);
    fftwf_plan fb = fftwf_plan_dft_r2c_1d(int(size), b, Bc, FFTW_ESTIMATE);
    fftwf_plan back = fftwf_plan_dft_c2r_1d(int(size), A, a, FFTW_ESTIMATE);
    std::fill(a, a + size, 0.0f);
    std::fill(b, b + size, 0.0f);
    std::copy(x.begin(), x.end(), a);
    std::copy(h.begin(), h.end(), b);
    fftwf_execute(fa);
    fftwf_execute(fb);
    for (size_t k = 0; k < bins; ++k) {
        const float re = A[k][0] * Bc[k][0] - A[k][1] * Bc[k][1];
        const float im = A[k][0] * Bc[k][1] + A[k][1] * Bc[k][0];
        A[k][0] = re / float(size);
        A[k][1] = im / float(size);
    }
    fftwf_execute(back);
    Signal y(a, a + x.size());
    fftwf_destroy_plan(fa);
    fftwf_destroy_plan(fb);
    fftwf_destroy_plan(back);
    fftwf_free(a);
    fftwf_free(b);
    fftwf_free(A);
    fftwf_free(Bc);
    return y;
}

struct Scenario {
    double rate;
    int64_t count;
    Signal far, nearEnd, echo, noise, mic;
    int64_t pathChange;
};

Scenario makeScenario(double rate, double seconds)
{
    Scenario s;
    s.rate = rate;
    s.count = int64_t(seconds * rate);
    s.pathChange = s.count / 2;
    const Signal farVoice = speech(s.count, rate, 115, 11, 0.1f);
    const Signal nearVoice = speech(s.count, rate, 205, 23, 0.05f);
    s.far.assign(size_t(s.count), 0.0f);
    s.nearEnd.assign(size_t(s.count), 0.0f);
    for (int64_t i = 0; i < s.count; ++i) {
        const Talk talk = talkAt(double(i) / double(s.count));
        if (talk != Talk::nearOnly)
            s.far[size_t(i)] = farVoice[size_t(i)];
        if (talk != Talk::farOnly)
            s.nearEnd[size_t(i)] = nearVoice[size_t(i)];
    }
    const Signal before = convolve(s.far, roomResponse(rate, 0.035, 0.15, 0.5, 5));
    const Signal after = convolve(s.far, roomResponse(rate, 0.050, 0.15, 0.5, 6));
    std::mt19937 random(99);
    std::normal_distribution<float> normal(0.0f, 0.001f);  // -60 dBFS
    s.echo.resize(size_t(s.count));
    s.noise.resize(size_t(s.count));
    s.mic.resize(size_t(s.count));
    for (int64_t i = 0; i < s.count; ++i) {
        s.echo[size_t(i)] = i < s.pathChange ? before[size_t(i)] : after[size_t(i)];
        s.noise[size_t(i)] = normal(random);
        s.mic[size_t(i)] = s.echo[size_t(i)] + s.nearEnd[size_t(i)] + s.noise[size_t(i)];
    }
    return s;
}

// --- Cancellers --------------------------------------------------------------------------------

struct Canceller {
    virtual ~Canceller() = default;
    virtual const char* name() const = 0;
    // One 10 ms chunk.
    virtual void process(const float* mic, const float* reference, float* out, int frames) = 0;
};

struct Harkwell final : Canceller {
    explicit Harkwell(double rate) : canceller(rate) {}
    const char* name() const override { return "harkwell"; }
    void process(const float* mic, const float* reference, float* out, int frames) override
    {
        canceller.process(mic, reference, out, frames);
    }
    harkwell::EchoCanceller canceller;
};

struct Speex final : Canceller {
    Speex(double rate, int frame)
    {
        int sampleRate = int(rate);
        echo = speex_echo_state_init(frame, int(0.3 * rate));
        speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &sampleRate);
        pre = speex_preprocess_state_init(frame, sampleRate);
        speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
        in.resize(size_t(frame));
        ref.resize(size_t(frame));
        res.resize(size_t(frame));
    }
    ~Speex() override
    {
        speex_preprocess_state_destroy(pre);
        speex_echo_state_destroy(echo);
    }
    const char* name() const override { return "speexdsp + preprocess"; }
    void process(const float* mic, const float* reference, float* out, int frames) override
    {
        for (int i = 0; i < frames; ++i) {
            in[size_t(i)] = toShort(mic[i]);
            ref[size_t(i)] = toShort(reference[i]);
        }
        speex_echo_cancellation(echo, in.data(), ref.data(), res.data());
        speex_preprocess_run(pre, res.data());
        for (int i = 0; i < frames; ++i)
            out[i] = float(res[size_t(i)]) / 32768.0f;
    }
    static spx_int16_t toShort(float x) { return spx_int16_t(std::clamp(std::lround(x * 32768.0f), -32768L, 32767L)); }
    SpeexEchoState* echo = nullptr;
    SpeexPreprocessState* pre = nullptr;
    std::vector<spx_int16_t> in, ref, res;
};

struct WebRtc final : Canceller {
    explicit WebRtc(double rate) : stream(int(rate), 1, false)
    {
        webrtc::Config config;
        config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
        config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
        apm.reset(webrtc::AudioProcessing::Create(config));
        apm->echo_cancellation()->enable_drift_compensation(false);
        apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kModerateSuppression);
        apm->echo_cancellation()->Enable(true);
        scratch.resize(size_t(rate / 100));
    }
    const char* name() const override { return "webrtc-audio-processing"; }
    void process(const float* mic, const float* reference, float* out, int /*frames*/) override
    {
        const float* refChannels[] = {reference};
        float* scratchChannels[] = {scratch.data()};
        apm->ProcessReverseStream(refChannels, stream, stream, scratchChannels);
        apm->set_stream_delay_ms(0);
        const float* micChannels[] = {mic};
        float* outChannels[] = {out};
        apm->ProcessStream(micChannels, stream, stream, outChannels);
    }
    webrtc::StreamConfig stream;
    std::unique_ptr<webrtc::AudioProcessing> apm;
    Signal scratch;
};

double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// --- Measures -----------------------------------------------------------------------------------

double energy(const Signal& x, int64_t from, int64_t to)
{
    double sum = 0;
    for (int64_t i = std::max<int64_t>(from, 0); i < std::min<int64_t>(to, int64_t(x.size())); ++i)
        sum += double(x[size_t(i)]) * x[size_t(i)];
    return sum;
}

// The output's lag behind the microphone, found on a fresh canceller with a silent far end and
// white noise at the microphone: the lag of the largest cross-correlation.
int64_t probeDelay(Canceller& canceller, double rate, int chunk)
{
    const auto count = int64_t(rate);
    std::mt19937 random(3);
    std::normal_distribution<float> normal(0.0f, 0.1f);
    Signal mic(static_cast<size_t>(count)), silence(mic.size(), 0.0f), out(mic.size(), 0.0f);
    for (float& x : mic)
        x = normal(random);
    for (int64_t at = 0; at + chunk <= count; at += chunk)
        canceller.process(mic.data() + at, silence.data() + at, out.data() + at, chunk);
    int64_t best = 0;
    double bestScore = -1;
    const int64_t from = count / 2, to = count - 4096;
    for (int64_t lag = 0; lag <= 4096; ++lag) {
        double dot = 0;
        for (int64_t i = from - lag; i < to - lag; ++i)
            dot += double(mic[size_t(i)]) * out[size_t(i + lag)];
        if (dot > bestScore) {
            bestScore = dot;
            best = lag;
        }
    }
    return best;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const double at = p * double(values.size() - 1);
    const auto low = size_t(at);
    const size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (at - double(low));
}

struct Report {
    int64_t delay = 0;
    double erleMedian = NAN, erleP10 = NAN, nearLoss = NAN, doubleTalkLoss = NAN;
    std::optional<double> convergence, reconvergence;
    double realtime = 0;
};

Report measure(const Scenario& s, const Signal& out, int64_t delay, double cpuSeconds)
{
    Report r;
    r.delay = delay;
    r.realtime = double(s.count) / s.rate / cpuSeconds;
    const auto window = int64_t(0.05 * s.rate);
    std::vector<double> erle, nearLoss, doubleLoss;
    struct Point {
        double time, erle;
    };
    std::vector<Point> farWindows;
    for (int64_t from = 0; from + window + r.delay <= s.count; from += window) {
        const int64_t to = from + window;
        const Talk talk = talkAt(double(from) / double(s.count));
        if (talk != talkAt(double(to - 1) / double(s.count)))
            continue;
        const double noiseE = energy(s.noise, from, to);
        if (talk == Talk::farOnly) {
            if (energy(s.echo, from, to) < 100 * noiseE)
                continue;  // far end in a pause: nothing to cancel
            const double e = 10 * std::log10(energy(s.mic, from, to) / energy(out, from + r.delay, to + r.delay));
            farWindows.push_back({double(from) / s.rate, e});
            if (double(from) / s.rate >= 3.0)
                erle.push_back(e);
        } else {
            const double nearE = energy(s.nearEnd, from, to);
            if (nearE < 100 * noiseE)
                continue;
            double dot = 0;
            for (int64_t i = from; i < to; ++i)
                dot += double(s.nearEnd[size_t(i)]) * out[size_t(i + r.delay)];
            const double gain = dot / nearE;
            const double loss = gain > 1e-3 ? -20 * std::log10(gain) : 60.0;
            (talk == Talk::nearOnly ? nearLoss : doubleLoss).push_back(loss);
        }
    }
    r.erleMedian = percentile(erle, 0.5);
    r.erleP10 = percentile(erle, 0.1);
    r.nearLoss = percentile(nearLoss, 0.5);
    r.doubleTalkLoss = percentile(doubleLoss, 0.5);

    // Reached 10 dB: the first far-end window from which the median of five in a row is 10 dB.
    auto reach = [&](double start) -> std::optional<double> {
        std::vector<Point> after;
        for (const Point& p : farWindows)
            if (p.time >= start)
                after.push_back(p);
        for (size_t i = 0; i + 5 <= after.size(); ++i) {
            std::vector<double> five;
            for (size_t j = i; j < i + 5; ++j)
                five.push_back(after[j].erle);
            if (percentile(five, 0.5) >= 10)
                return after[i].time - start;
        }
        return std::nullopt;
    };
    r.convergence = reach(0);
    r.reconvergence = reach(double(s.pathChange) / s.rate);
    return r;
}

void run(double rate, double seconds)
{
    const Scenario s = makeScenario(rate, seconds);
    const int chunk = int(rate / 100);
    std::printf("\n%.0f s at %.0f Hz: far end only 0-%.0f, %.0f-%.0f, %.0f-%.0f s; near end only %.0f-%.0f, %.0f-%.0f s; "
                "double talk %.0f-%.0f, %.0f-%.0f s; echo path changes at %.0f s (delay 35 -> 50 ms)\n",
                seconds, rate, 0.2 * seconds, 22.0 / 60 * seconds, 38.0 / 60 * seconds, 0.8 * seconds, seconds,
                0.2 * seconds, 16.0 / 60 * seconds, 38.0 / 60 * seconds, 42.0 / 60 * seconds, 16.0 / 60 * seconds,
                22.0 / 60 * seconds, 42.0 / 60 * seconds, 0.8 * seconds, 0.5 * seconds);
    std::printf("%-24s %6s %9s %9s %10s %10s %8s %8s %9s\n", "canceller", "delay", "ERLE med", "ERLE p10", "loss near",
                "loss dbl", "to 10 dB", "reconv", "x realtime");

    const std::function<std::unique_ptr<Canceller>()> makers[] = {
        [&] { return std::make_unique<Harkwell>(rate); },
        [&] { return std::make_unique<Speex>(rate, chunk); },
        [&] { return std::make_unique<WebRtc>(rate); },
    };
    for (const auto& make : makers) {
        const int64_t delay = probeDelay(*make(), rate, chunk);
        const auto canceller = make();
        Signal out(size_t(s.count + 8192), 0.0f);
        const double started = threadSeconds();
        for (int64_t at = 0; at + chunk <= s.count; at += chunk)
            canceller->process(s.mic.data() + at, s.far.data() + at, out.data() + at, chunk);
        const double cpu = threadSeconds() - started;
        const Report r = measure(s, out, delay, cpu);
        auto seconds = [](const std::optional<double>& t) {
            char text[32];
            if (t)
                std::snprintf(text, sizeof text, "%.2f s", *t);
            else
                std::snprintf(text, sizeof text, "never");
            return std::string(text);
        };
        std::printf("%-24s %6lld %6.1f dB %6.1f dB %7.2f dB %7.2f dB %8s %8s %9.1f\n", canceller->name(),
                    static_cast<long long>(r.delay), r.erleMedian, r.erleP10, r.nearLoss, r.doubleTalkLoss,
                    seconds(r.convergence).c_str(), seconds(r.reconvergence).c_str(), r.realtime);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::max(10.0, std::atof(argv[1])) : 60.0;
    std::printf("aec_bench: ERLE over 50 ms far-end-only windows after 3 s (echo 20 dB above the noise);\n"
                "near-end loss = median gain of the output on the near-end talker (near only, double talk);\n"
                "x realtime = seconds of audio per CPU second on this thread.\n");
    run(48000, seconds);
    run(16000, seconds);
    return 0;
}
