// Echo canceller benchmark: Harkwell's canceller (whole, and its linear stage alone) next to
// speexdsp (its echo canceller alone, and with its preprocessor's residual suppression) and
// webrtc-audio-processing, on one minute of call audio per rate, pinned to one core.
// Usage: aec_bench [seconds [rounds]]  (defaults 60 and 5)
//
// Far end: sentences spoken by espeak-ng (rendered at run time; its spectrum is printed against
// the long-term speech spectrum), played through an echo path (a bulk delay and a decaying random
// response of about 150 ms at about -6 dB) that changes at half time. Near end: another voice in
// marked near-only and double-talk stretches. White noise at -90 dBFS, far below the echo.

#include "audio/EchoCanceller.h"

#include <fftw3.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <numbers>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <sched.h>
#include <unistd.h>

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

// --- Speech ------------------------------------------------------------------------------------

// Phonetically balanced sentences (the Harvard lists), one list per talker.
const char* const kFarText =
    "The birch canoe slid on the smooth planks. Glue the sheet to the dark blue background. "
    "It's easy to tell the depth of a well. These days a chicken leg is a rare dish. "
    "Rice is often served in round bowls. The juice of lemons makes fine punch. "
    "The box was thrown beside the parked truck. The hogs were fed chopped corn and garbage. "
    "Four hours of steady work faced us. A large size in stockings is hard to sell.";
const char* const kNearText =
    "The boy was there when the sun rose. A rod is used to catch pink salmon. "
    "The source of the huge river is the clear spring. Kick the ball straight and follow through. "
    "Help the woman get back to her feet. A pot of tea helps to pass the evening. "
    "Smoky fires lack flame and heat. The soft cushion broke the man's fall. "
    "The salt breeze came across from the sea. The girl at the booth sold fifty bonds.";

// Resamples by one large transform: the spectrum is cut or zero-padded to the new length, so
// nothing above the lower rate's Nyquist frequency survives. `from` and `to` are whole rates.
Signal resample(const Signal& x, int from, int to)
{
    const int g = std::gcd(from, to);
    const size_t step = size_t(from / g);
    const size_t n = (x.size() + step - 1) / step * step;
    const size_t m = n / step * size_t(to / g);
    float* in = fftwf_alloc_real(std::max(n, m));
    fftwf_complex* spectrum = fftwf_alloc_complex(std::max(n, m) / 2 + 1);
    std::fill(in, in + std::max(n, m), 0.0f);
    std::copy(x.begin(), x.end(), in);
    fftwf_plan forward = fftwf_plan_dft_r2c_1d(int(n), in, spectrum, FFTW_ESTIMATE);
    fftwf_execute(forward);
    const size_t kept = std::min(n, m) / 2;  // bins below the lower Nyquist frequency
    for (size_t k = kept; k < m / 2 + 1; ++k)
        spectrum[k][0] = spectrum[k][1] = 0.0f;
    fftwf_plan back = fftwf_plan_dft_c2r_1d(int(m), spectrum, in, FFTW_ESTIMATE);
    fftwf_execute(back);
    Signal y(size_t(double(x.size()) * to / from));
    for (size_t i = 0; i < y.size(); ++i)
        y[i] = in[i] / float(n);
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(back);
    fftwf_free(in);
    fftwf_free(spectrum);
    return y;
}

// Renders `text` with espeak-ng (16-bit mono WAV on its standard output) and brings it to `rate`.
std::optional<Signal> espeak(const char* voice, const char* text, int rate)
{
    char textFile[] = "/tmp/aec_bench_text_XXXXXX";
    const int fd = mkstemp(textFile);
    if (fd < 0)
        return std::nullopt;
    const std::string body(text);
    const bool written = ::write(fd, body.data(), body.size()) == ssize_t(body.size());
    ::close(fd);
    std::vector<unsigned char> wav;
    if (written) {
        const std::string command =
            std::string("espeak-ng -v ") + voice + " -s 165 --stdout -f " + textFile + " 2>/dev/null";
        if (FILE* pipe = popen(command.c_str(), "r")) {
            unsigned char buffer[65536];
            for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
                wav.insert(wav.end(), buffer, buffer + got);
            if (pclose(pipe) != 0)
                wav.clear();
        }
    }
    ::unlink(textFile);

    // RIFF chunks: "fmt " gives the rate, "data" runs to the end (the stream's sizes are placeholders).
    auto le16 = [&](size_t at) { return unsigned(wav[at]) | unsigned(wav[at + 1]) << 8; };
    auto le32 = [&](size_t at) { return le16(at) | le16(at + 2) << 16; };
    if (wav.size() < 44 || std::memcmp(wav.data(), "RIFF", 4) != 0)
        return std::nullopt;
    int sourceRate = 0;
    for (size_t at = 12; at + 8 <= wav.size();) {
        const size_t size = le32(at + 4);
        if (std::memcmp(&wav[at], "fmt ", 4) == 0 && at + 16 <= wav.size()) {
            if (le16(at + 8) != 1 || le16(at + 10) != 1 || le16(at + 22) != 16)
                return std::nullopt;  // not 16-bit mono PCM
            sourceRate = int(le32(at + 12));
        } else if (std::memcmp(&wav[at], "data", 4) == 0 && sourceRate > 0) {
            Signal samples;
            for (size_t i = at + 8; i + 1 < wav.size(); i += 2)
                samples.push_back(float(int16_t(le16(i))) / 32768.0f);
            return resample(samples, sourceRate, rate);
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

// The signal repeated to `count` samples, scaled so that its active part (20 ms frames within
// 40 dB of the loudest) has the RMS `rmsTarget`.
Signal talker(const Signal& voice, int64_t count, double rate, float rmsTarget)
{
    Signal out(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i)
        out[size_t(i)] = voice[size_t(i) % voice.size()];
    const auto frame = int64_t(0.02 * rate);
    std::vector<double> energies;
    for (int64_t at = 0; at + frame <= count; at += frame) {
        double e = 0;
        for (int64_t i = at; i < at + frame; ++i)
            e += double(out[size_t(i)]) * out[size_t(i)];
        energies.push_back(e);
    }
    const double loudest = *std::max_element(energies.begin(), energies.end());
    double active = 0;
    int64_t activeFrames = 0;
    for (double e : energies)
        if (e > loudest * 1e-4) {
            active += e;
            ++activeFrames;
        }
    const double scale = rmsTarget / std::sqrt(active / double(std::max<int64_t>(activeFrames, 1) * frame));
    for (float& x : out)
        x = float(x * scale);
    return out;
}

// The long-term average speech spectrum: third-octave band centres and the standard speech
// spectrum level at normal vocal effort (ANSI S3.5-1997, table 3; dB per Hz).
constexpr double kBandCentres[] = {160,  200,  250,  315,  400,  500,  630,  800,  1000,
                                   1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000};
constexpr double kSpeechSpectrumLevel[] = {32.41, 34.48, 34.75, 33.98, 34.59, 34.27, 32.06, 28.30, 25.01,
                                           23.00, 20.15, 17.32, 13.18, 11.55, 9.33,  5.31,  2.59,  1.13};
constexpr size_t kBands = std::size(kBandCentres);

// Power per third-octave band (from a Hann-windowed average spectrum), for the bands that lie
// wholly below the Nyquist frequency; the rest are NaN.
std::vector<double> bandPowers(const Signal& x, double rate)
{
    constexpr int size = 8192;
    float* frame = fftwf_alloc_real(size);
    fftwf_complex* spectrum = fftwf_alloc_complex(size / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(size, frame, spectrum, FFTW_ESTIMATE);
    std::vector<double> power(size / 2 + 1, 0.0);
    for (size_t at = 0; at + size <= x.size(); at += size / 2) {
        for (int i = 0; i < size; ++i)
            frame[i] = x[at + size_t(i)] * float(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / size));
        fftwf_execute(plan);
        for (int k = 0; k <= size / 2; ++k)
            power[size_t(k)] += double(spectrum[k][0]) * spectrum[k][0] + double(spectrum[k][1]) * spectrum[k][1];
    }
    fftwf_destroy_plan(plan);
    fftwf_free(frame);
    fftwf_free(spectrum);
    std::vector<double> bands(kBands, NAN);
    for (size_t b = 0; b < kBands; ++b) {
        const double low = kBandCentres[b] * std::pow(2.0, -1.0 / 6), high = kBandCentres[b] * std::pow(2.0, 1.0 / 6);
        if (high > rate / 2)
            continue;
        double sum = 0;
        for (int k = int(std::ceil(low * size / rate)); k < int(std::ceil(high * size / rate)); ++k)
            sum += power[size_t(k)];
        bands[b] = sum;
    }
    return bands;
}

// Each band's level against the long-term speech spectrum, both scaled to the same total over
// the bands present; and the share of that total above 4 kHz.
struct SpectrumCheck {
    std::vector<double> deviation;  // dB per band, NaN where the band is missing
    double shareAbove4k = 0, referenceShareAbove4k = 0, worst = 0;
};

SpectrumCheck checkSpectrum(const Signal& x, double rate)
{
    const std::vector<double> bands = bandPowers(x, rate);
    std::vector<double> reference(kBands);
    double total = 0, referenceTotal = 0, above = 0, referenceAbove = 0;
    for (size_t b = 0; b < kBands; ++b) {
        if (std::isnan(bands[b]))
            continue;
        const double width = kBandCentres[b] * (std::pow(2.0, 1.0 / 6) - std::pow(2.0, -1.0 / 6));
        reference[b] = std::pow(10.0, kSpeechSpectrumLevel[b] / 10) * width;
        total += bands[b];
        referenceTotal += reference[b];
        if (kBandCentres[b] >= 4000) {
            above += bands[b];
            referenceAbove += reference[b];
        }
    }
    SpectrumCheck check;
    check.deviation.assign(kBands, NAN);
    for (size_t b = 0; b < kBands; ++b)
        if (!std::isnan(bands[b])) {
            check.deviation[b] = 10 * std::log10((bands[b] / total) / (reference[b] / referenceTotal));
            check.worst = std::max(check.worst, std::abs(check.deviation[b]));
        }
    check.shareAbove4k = above / total;
    check.referenceShareAbove4k = referenceAbove / referenceTotal;
    return check;
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

struct Voices {
    Signal far, nearEnd;  // at the run's rate, as rendered
};

struct Scenario {
    double rate;
    int64_t count;
    Signal far, nearEnd, echo, noise, mic;
    int64_t pathChange;
    double erleCeiling = 0;  // median echo-to-noise ratio of the windows ERLE is taken over, dB
};

constexpr float kNoiseRms = 3.16e-5f;  // -90 dBFS: at least 40 dB below the echo wherever ERLE is taken

// The call of the timeline, or (`farThroughout`) the far end talking for the whole run with no
// near end, the canceller's busiest case.
Scenario makeScenario(const Voices& voices, double rate, double seconds, bool farThroughout = false)
{
    Scenario s;
    s.rate = rate;
    s.count = int64_t(seconds * rate);
    s.pathChange = s.count / 2;
    const Signal farVoice = talker(voices.far, s.count, rate, 0.1f);        // -20 dBFS while talking
    const Signal nearVoice = talker(voices.nearEnd, s.count, rate, 0.05f);  // -26 dBFS, as loud as the echo
    s.far.assign(size_t(s.count), 0.0f);
    s.nearEnd.assign(size_t(s.count), 0.0f);
    for (int64_t i = 0; i < s.count; ++i) {
        const Talk talk = farThroughout ? Talk::farOnly : talkAt(double(i) / double(s.count));
        if (talk != Talk::nearOnly)
            s.far[size_t(i)] = farVoice[size_t(i)];
        if (talk != Talk::farOnly)
            s.nearEnd[size_t(i)] = nearVoice[size_t(i)];
    }
    const Signal before = convolve(s.far, roomResponse(rate, 0.035, 0.15, 0.5, 5));
    const Signal after = convolve(s.far, roomResponse(rate, 0.050, 0.15, 0.5, 6));
    std::mt19937 random(99);
    std::normal_distribution<float> normal(0.0f, kNoiseRms);
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

// Harkwell's residual suppressor never takes a bin below a gain of 0.1 (-20 dB) and removes no
// noise; speexdsp is set to the same echo floor with its noise suppression at 0 dB. webrtc's
// suppression has levels, not a floor in dB: it runs at its default, "moderate".
constexpr int kEchoFloorDb = -20;

struct Canceller {
    virtual ~Canceller() = default;
    virtual const char* name() const = 0;
    // One 10 ms chunk.
    virtual void process(const float* mic, const float* reference, float* out, int frames) = 0;
};

struct Harkwell final : Canceller {
    Harkwell(double rate, bool suppression) : canceller(rate, suppression), suppression(suppression) {}
    const char* name() const override { return suppression ? "harkwell" : "harkwell linear stage"; }
    void process(const float* mic, const float* reference, float* out, int frames) override
    {
        canceller.process(mic, reference, out, frames);
    }
    harkwell::EchoCanceller canceller;
    bool suppression;
};

struct Speex final : Canceller {
    Speex(double rate, int frame, bool preprocess)
    {
        int sampleRate = int(rate);
        echo = speex_echo_state_init(frame, int(0.3 * rate));
        speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &sampleRate);
        in.resize(size_t(frame));
        ref.resize(size_t(frame));
        res.resize(size_t(frame));
        if (!preprocess)
            return;
        pre = speex_preprocess_state_init(frame, sampleRate);
        speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
        // The residual echo suppression only runs with the denoiser on; its noise floor at 0 dB
        // leaves the noise alone.
        int on = 1, noiseFloor = 0, echoFloor = kEchoFloorDb;
        speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &noiseFloor);
        speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, &echoFloor);
        speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS_ACTIVE, &echoFloor);
    }
    ~Speex() override
    {
        if (pre)
            speex_preprocess_state_destroy(pre);
        speex_echo_state_destroy(echo);
    }
    const char* name() const override { return pre ? "speexdsp + preprocess" : "speexdsp echo only"; }
    void process(const float* mic, const float* reference, float* out, int frames) override
    {
        for (int i = 0; i < frames; ++i) {
            in[size_t(i)] = toShort(mic[i]);
            ref[size_t(i)] = toShort(reference[i]);
        }
        speex_echo_cancellation(echo, in.data(), ref.data(), res.data());
        if (pre)
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

constexpr double kTargets[] = {10, 20, 30};  // dB of ERLE a convergence time is given for
constexpr double kDoubleTalkSpanDb = 15;     // double-talk windows count with echo and near end this close

// How the near end comes through in one kind of stretch: the loss of its gain (the output
// projected on the near end) and its distortion (what else the output holds, against the kept
// near end: changed shape, and in double talk the echo left over).
struct NearEnd {
    double lossMedian = NAN, lossP90 = NAN, distortionMedian = NAN, distortionP90 = NAN;
};

struct Report {
    int64_t delay = 0;
    double erleMedian = NAN, erleP10 = NAN;
    std::optional<double> convergence[3], reconvergence[3];
    NearEnd nearOnly, doubleTalk;
    int doubleTalkWindows = 0, doubleTalkKept = 0;
};

Report measure(const Scenario& s, const Signal& out, int64_t delay)
{
    Report r;
    r.delay = delay;
    const auto window = int64_t(0.05 * s.rate);
    std::vector<double> erle, lossNear, lossDouble, distortionNear, distortionDouble;
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
            const double echoE = energy(s.echo, from, to);
            if (echoE < 1e4 * noiseE)
                continue;  // far end in a pause: nothing to cancel, or the noise would cap the figure
            // Echo in over what is left of it: the output holds nothing else but the -90 dBFS noise.
            const double e = 10 * std::log10(echoE / energy(out, from + r.delay, to + r.delay));
            farWindows.push_back({double(from) / s.rate, e});
            if (double(from) / s.rate >= 3.0)
                erle.push_back(e);
        } else {
            const double nearE = energy(s.nearEnd, from, to);
            if (nearE < 1e4 * noiseE)
                continue;
            if (talk == Talk::doubleTalk) {
                // Where one side drowns the other the window says little about double talk: only
                // echo within 15 dB of the near end counts.
                ++r.doubleTalkWindows;
                const double echoE = energy(s.echo, from, to);
                if (std::abs(10 * std::log10((echoE + noiseE) / nearE)) > kDoubleTalkSpanDb)
                    continue;
                ++r.doubleTalkKept;
            }
            double dot = 0;
            for (int64_t i = from; i < to; ++i)
                dot += double(s.nearEnd[size_t(i)]) * out[size_t(i + r.delay)];
            const double gain = dot / nearE;
            const double loss = gain > 1e-3 ? -20 * std::log10(gain) : 60.0;
            double rest = 0;
            for (int64_t i = from; i < to; ++i) {
                const double d = out[size_t(i + r.delay)] - gain * s.nearEnd[size_t(i)];
                rest += d * d;
            }
            const double kept = gain * gain * nearE;
            const double distortion = kept > 0 ? std::min(10 * std::log10(rest / kept), 60.0) : 60.0;
            (talk == Talk::nearOnly ? lossNear : lossDouble).push_back(loss);
            (talk == Talk::nearOnly ? distortionNear : distortionDouble).push_back(distortion);
        }
    }
    r.erleMedian = percentile(erle, 0.5);
    r.erleP10 = percentile(erle, 0.1);
    r.nearOnly = {percentile(lossNear, 0.5), percentile(lossNear, 0.9), percentile(distortionNear, 0.5),
                  percentile(distortionNear, 0.9)};
    r.doubleTalk = {percentile(lossDouble, 0.5), percentile(lossDouble, 0.9), percentile(distortionDouble, 0.5),
                    percentile(distortionDouble, 0.9)};

    // Reached X dB: the first far-end window from which the median of five in a row is X dB.
    auto reach = [&](double start, double target) -> std::optional<double> {
        std::vector<Point> after;
        for (const Point& p : farWindows)
            if (p.time >= start)
                after.push_back(p);
        for (size_t i = 0; i + 5 <= after.size(); ++i) {
            std::vector<double> five;
            for (size_t j = i; j < i + 5; ++j)
                five.push_back(after[j].erle);
            if (percentile(five, 0.5) >= target)
                return after[i].time - start;
        }
        return std::nullopt;
    };
    for (size_t t = 0; t < std::size(kTargets); ++t) {
        r.convergence[t] = reach(0, kTargets[t]);
        r.reconvergence[t] = reach(double(s.pathChange) / s.rate, kTargets[t]);
    }
    return r;
}

// The canceller's output for the whole scenario, in 10 ms chunks, and the CPU seconds it took.
double runThrough(Canceller& canceller, const Scenario& s, Signal& out)
{
    const int chunk = int(s.rate / 100);
    out.assign(size_t(s.count + 8192), 0.0f);
    const double started = threadSeconds();
    for (int64_t at = 0; at + chunk <= s.count; at += chunk)
        canceller.process(s.mic.data() + at, s.far.data() + at, out.data() + at, chunk);
    return threadSeconds() - started;
}

std::string timeText(const std::optional<double>& t)
{
    char text[32];
    if (t)
        std::snprintf(text, sizeof text, "%.2f s", *t);
    else
        std::snprintf(text, sizeof text, "never");
    return text;
}

void printSpectrum(const Voices& voices, double rate)
{
    const SpectrumCheck far = checkSpectrum(voices.far, rate), nearEnd = checkSpectrum(voices.nearEnd, rate);
    std::printf("speech against the long-term speech spectrum (third octaves, dB, both at the same total):\n  %-6s",
                "Hz");
    for (size_t b = 0; b < kBands; ++b)
        if (!std::isnan(far.deviation[b]))
            std::printf(" %5.0f", kBandCentres[b]);
    for (const auto& [name, check] : {std::pair {"far", &far}, std::pair {"near", &nearEnd}}) {
        std::printf("\n  %-6s", name);
        for (double d : check->deviation)
            if (!std::isnan(d))
                std::printf(" %+5.1f", d);
    }
    std::printf("\n  energy in the 4-8 kHz bands: far %.1f %%, near %.1f %%, long-term speech spectrum %.1f %%; "
                "largest band difference: far %.1f dB, near %.1f dB\n",
                100 * far.shareAbove4k, 100 * nearEnd.shareAbove4k, 100 * far.referenceShareAbove4k, far.worst,
                nearEnd.worst);
}

void run(const Voices& voices, double rate, double seconds, int rounds)
{
    const Scenario s = makeScenario(voices, rate, seconds);
    const Scenario busy = makeScenario(voices, rate, seconds, true);
    const int chunk = int(rate / 100);
    std::printf("\n=== %.0f s at %.0f Hz: far end only 0-%.0f, %.0f-%.0f, %.0f-%.0f s; near end only %.0f-%.0f, %.0f-%.0f s; "
                "double talk %.0f-%.0f, %.0f-%.0f s; echo path changes at %.0f s (delay 35 -> 50 ms)\n",
                seconds, rate, 0.2 * seconds, 22.0 / 60 * seconds, 38.0 / 60 * seconds, 0.8 * seconds, seconds,
                0.2 * seconds, 16.0 / 60 * seconds, 38.0 / 60 * seconds, 42.0 / 60 * seconds, 16.0 / 60 * seconds,
                22.0 / 60 * seconds, 42.0 / 60 * seconds, 0.8 * seconds, 0.5 * seconds);
    printSpectrum(voices, rate);

    const std::function<std::unique_ptr<Canceller>()> makers[] = {
        [&] { return std::make_unique<Harkwell>(rate, true); },
        [&] { return std::make_unique<Harkwell>(rate, false); },
        [&] { return std::make_unique<Speex>(rate, chunk, false); },
        [&] { return std::make_unique<Speex>(rate, chunk, true); },
        [&] { return std::make_unique<WebRtc>(rate); },
    };
    constexpr size_t kCancellers = std::size(makers);
    std::vector<Report> reports(kCancellers);
    std::vector<std::string> names(kCancellers);
    std::vector<std::vector<double>> speed(kCancellers), busySpeed(kCancellers);
    Signal out;
    // Alternated: round r starts with canceller r, so no one always runs first on a cold cache.
    for (int round = 0; round < rounds; ++round)
        for (size_t k = 0; k < kCancellers; ++k) {
            const size_t c = (size_t(round) + k) % kCancellers;
            auto canceller = makers[c]();
            names[c] = canceller->name();
            speed[c].push_back(seconds / runThrough(*canceller, s, out));
            if (round == 0)
                reports[c] = measure(s, out, probeDelay(*makers[c](), rate, chunk));
            auto fresh = makers[c]();
            busySpeed[c].push_back(seconds / runThrough(*fresh, busy, out));
        }

    std::vector<double> ceilings;
    for (int64_t from = int64_t(3 * rate); from + chunk * 5 <= s.count; from += chunk * 5)
        if (talkAt(double(from) / double(s.count)) == Talk::farOnly) {
            const double echoE = energy(s.echo, from, from + chunk * 5), noiseE = energy(s.noise, from, from + chunk * 5);
            if (echoE >= 1e4 * noiseE)
                ceilings.push_back(10 * std::log10(echoE / noiseE));
        }
    std::printf("echo: ERLE = echo in / output, 50 ms far-end-only windows after 3 s (highest measurable here: median "
                "%.0f dB); time until five windows in a row have a median of 10, 20, 30 dB, from the start and after the "
                "path change\n",
                percentile(ceilings, 0.5));
    std::printf("%-24s %6s %9s %9s %8s %8s %8s %8s %8s %8s\n", "canceller", "delay", "ERLE med", "ERLE p10", "10 dB",
                "20 dB", "30 dB", "re 10", "re 20", "re 30");
    for (size_t c = 0; c < kCancellers; ++c) {
        const Report& r = reports[c];
        std::printf("%-24s %6lld %6.1f dB %6.1f dB", names[c].c_str(), static_cast<long long>(r.delay), r.erleMedian,
                    r.erleP10);
        for (const auto& t : r.convergence)
            std::printf(" %8s", timeText(t).c_str());
        for (const auto& t : r.reconvergence)
            std::printf(" %8s", timeText(t).c_str());
        std::printf("\n");
    }
    std::printf("near end: loss = -20 log10 of the output's gain on the near-end talker; distortion = what else the "
                "output holds against the kept near end (double talk: the leftover echo too); median and worst 10 %%; "
                "double talk only where the echo is within %.0f dB of the near end (%d of %d windows)\n",
                kDoubleTalkSpanDb, reports[0].doubleTalkKept, reports[0].doubleTalkWindows);
    std::printf("%-24s %22s %24s %22s %24s\n", "canceller", "near only: loss", "distortion", "double talk: loss",
                "distortion");
    for (size_t c = 0; c < kCancellers; ++c) {
        const Report& r = reports[c];
        std::printf("%-24s", names[c].c_str());
        for (const NearEnd& n : {r.nearOnly, r.doubleTalk})
            std::printf(" %6.2f dB (p90 %6.2f) %8.1f dB (p90 %6.1f)", n.lossMedian, n.lossP90, n.distortionMedian,
                        n.distortionP90);
        std::printf("\n");
    }
    std::printf("speed: seconds of audio per CPU second on one thread, median (range) of %d alternated runs\n", rounds);
    std::printf("%-24s %24s %30s\n", "canceller", "this call", "far end talking throughout");
    for (size_t c = 0; c < kCancellers; ++c)
        std::printf("%-24s %10.0f (%4.0f-%4.0f) %16.0f (%4.0f-%4.0f)\n", names[c].c_str(), percentile(speed[c], 0.5),
                    *std::min_element(speed[c].begin(), speed[c].end()),
                    *std::max_element(speed[c].begin(), speed[c].end()), percentile(busySpeed[c], 0.5),
                    *std::min_element(busySpeed[c].begin(), busySpeed[c].end()),
                    *std::max_element(busySpeed[c].begin(), busySpeed[c].end()));
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::max(10.0, std::atof(argv[1])) : 60.0;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    // One core for the whole run (the first the process may use, so `taskset -c N` picks it): a
    // thread that migrates between cores would time its cache misses, not the cancellers.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    int core = -1;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        for (int c = 0; c < CPU_SETSIZE && core < 0; ++c)
            if (CPU_ISSET(c, &allowed))
                core = c;
    cpu_set_t one;
    CPU_ZERO(&one);
    if (core >= 0)
        CPU_SET(core, &one);
    if (core < 0 || sched_setaffinity(0, sizeof one, &one) != 0) {
        std::fprintf(stderr, "aec_bench: could not pin the run to one core\n");
        return 1;
    }
    std::printf("pinned to core %d\n", core);
    std::printf("aec_bench: far end a male and near end a female espeak-ng voice; echo path a bulk delay and a decaying\n"
                "150 ms response at -6 dB; noise -90 dBFS. Echo floor %d dB for harkwell and speexdsp, webrtc at "
                "\"moderate\".\n",
                kEchoFloorDb);
    for (const double rate : {48000.0, 16000.0}) {
        Voices voices;
        const auto far = espeak("en-us+m3", kFarText, int(rate));
        const auto nearEnd = espeak("en-gb+f3", kNearText, int(rate));
        if (!far || !nearEnd || far->empty() || nearEnd->empty()) {
            std::fprintf(stderr, "aec_bench: espeak-ng did not render the voices (scripts/setup installs it)\n");
            return 1;
        }
        voices.far = *far;
        voices.nearEnd = *nearEnd;
        run(voices, rate, seconds, rounds);
    }
    return 0;
}
