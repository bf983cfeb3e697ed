#include "audio/EchoCanceller.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <numbers>

namespace harkwell {

namespace {

// FFTW's planner (and plan destruction) share global state; executing a plan is thread-safe.
std::mutex& fftwPlannerLock()
{
    static std::mutex lock;
    return lock;
}

// The background filter's normalised step.
constexpr float kStep = 0.3f;

constexpr std::array<double, 11> kBandEdgesHz{300, 600, 1000, 1500, 2000, 3000, 4000, 5500, 7000, 9000, 12000};

// Summed in single precision, as the vector library would.
float energy(const float* x, int64_t count)
{
    float sum = 0;
    for (int64_t i = 0; i < count; ++i)
        sum += x[i] * x[i];
    return sum;
}

float sum(const float* x, int64_t count)
{
    float total = 0;
    for (int64_t i = 0; i < count; ++i)
        total += x[i];
    return total;
}

void clear(float* x, int64_t count) { std::memset(x, 0, size_t(count) * sizeof(float)); }

void copy(const float* from, float* to, int64_t count) { std::memcpy(to, from, size_t(count) * sizeof(float)); }

void fillWith(float* x, int64_t count, float value) { std::fill(x, x + count, value); }

// The per-bin kernels of the hot loops take restrict parameters so that they vectorise; bins
// 1 … n − 1 of packed spectra (DC and Nyquist are real and handled by the callers).

// acc += f × x
void multiplyAccumulate(float* __restrict accRe, float* __restrict accIm, const float* __restrict fRe,
                        const float* __restrict fIm, const float* __restrict xRe, const float* __restrict xIm,
                        int64_t n)
{
    for (int64_t k = 1; k < n; ++k) {
        accRe[k] += fRe[k] * xRe[k] - fIm[k] * xIm[k];
        accIm[k] += fRe[k] * xIm[k] + fIm[k] * xRe[k];
    }
}

// g = conj(x) × e × step, written as the transform's interleaved pairs
void conjugateMultiplyScaled(float* __restrict pairs, const float* __restrict xRe, const float* __restrict xIm,
                             const float* __restrict eRe, const float* __restrict eIm,
                             const float* __restrict step, int64_t n)
{
    for (int64_t k = 1; k < n; ++k) {
        pairs[2 * k] = (xRe[k] * eRe[k] + xIm[k] * eIm[k]) * step[k];
        pairs[2 * k + 1] = (xRe[k] * eIm[k] - xIm[k] * eRe[k]) * step[k];
    }
}

// f = λ f + g, g given as the transform's interleaved pairs
void leakyAdd(float* __restrict fRe, float* __restrict fIm, const float* __restrict pairs, float lambda, int64_t n)
{
    for (int64_t k = 1; k < n; ++k) {
        fRe[k] = lambda * fRe[k] + pairs[2 * k];
        fIm[k] = lambda * fIm[k] + pairs[2 * k + 1];
    }
}

void deinterleave(const float* __restrict pairs, float* __restrict re, float* __restrict im, int64_t n)
{
    for (int64_t k = 1; k < n; ++k) {
        re[k] = pairs[2 * k];
        im[k] = pairs[2 * k + 1];
    }
}

void interleave(const float* __restrict re, const float* __restrict im, float* __restrict pairs, int64_t n)
{
    for (int64_t k = 1; k < n; ++k) {
        pairs[2 * k] = re[k];
        pairs[2 * k + 1] = im[k];
    }
}

void scale(float* __restrict x, float factor, int64_t count)
{
    for (int64_t i = 0; i < count; ++i)
        x[i] *= factor;
}

// Non-finite samples become silence: whatever leaves the canceller must stay encodable.
void copyFinite(const float* from, float* to, int64_t count)
{
    for (int64_t i = 0; i < count; ++i)
        to[i] = std::isfinite(from[i]) ? from[i] : 0.0f;
}

}  // namespace

EchoCanceller::EchoCanceller(double sampleRate, bool residualSuppression)
    : m_sampleRate(sampleRate)
    , m_residualSuppression(residualSuppression)
{
    const double r = (std::isfinite(sampleRate) && sampleRate >= 4000) ? sampleRate : 48000;

    const int log2n = std::clamp(int(std::round(std::log2(r * 0.01))), 6, 12);
    m_n = int64_t(1) << log2n;
    m_blockSize = m_n;
    m_m = 2 * m_n;
    m_bins = m_n + 1;
    m_log2m = unsigned(log2n + 1);
    m_partitions = std::max<int64_t>(1, int64_t(std::ceil(r * 0.3 / double(m_n))));
    const int64_t n = m_n, m = m_m, bins = m_bins, P = m_partitions;

    const double T = double(n) / r;
    m_residualDecay = float(std::pow(10.0, -24.0 * T));
    m_adaptedAfterBlocks = std::max<int64_t>(1, int64_t(0.5 / T));
    m_divergedAfterBlocks = std::max<int64_t>(2, int64_t(std::round(0.2 / T)));
    m_misadjustedSmoothing = float(1.0 - std::exp(-2.0 * T));
    m_correlationSmoothing = float(1.0 - std::exp(-10.0 * T));
    m_estimateFloor = float(n) * 1e-8f * float(n + 1);
    m_energyFloor = float(n) * 1e-10f;
    m_levelRelease = float(1.0 - std::exp(-T / 3.0));
    m_leakageRise = float(std::pow(10.0, 0.3 * T));
    m_leakageFall = float(std::pow(10.0, -0.9 * T));

    std::vector<double> edges;
    for (double edge : kBandEdgesHz)
        if (edge < r / 2)
            edges.push_back(edge);
    m_bandCount = int64_t(edges.size()) + 1;
    const int64_t B = m_bandCount;

    m_micBlock = allocate(n);
    m_refBlock = allocate(n);
    m_outBlock = allocate(n);
    m_refPrev = allocate(n);
    m_micPrev = allocate(n);
    m_xRe = allocate(P * n);
    m_xIm = allocate(P * n);
    m_xPow = allocate(P * bins);
    m_norm = allocate(bins);
    m_fgRe = allocate(P * n);
    m_fgIm = allocate(P * n);
    m_bgRe = allocate(P * n);
    m_bgIm = allocate(P * n);
    m_timeA = allocate(m);
    m_timeB = allocate(m);
    m_accRe = allocate(n);
    m_accIm = allocate(n);
    m_errRe = allocate(n);
    m_errIm = allocate(n);
    m_gradRe = allocate(n);
    m_gradIm = allocate(n);
    m_yFg = allocate(n);
    m_yBg = allocate(n);
    m_eFg = allocate(n);
    m_eBg = allocate(n);
    m_eOut = allocate(n);
    m_yOut = allocate(n);
    m_stepScale = allocate(bins);
    m_binA = allocate(bins);
    m_binB = allocate(bins);
    m_ramp = allocate(n);
    m_window = allocate(m);
    m_bandBins = allocate(B);
    m_bandE = allocate(B);
    m_bandY = allocate(B);
    m_bandLeak = allocate(B);
    m_bandSey = allocate(B);
    m_bandSyy = allocate(B);
    m_bandSee = allocate(B);
    m_ePrevOut = allocate(n);
    m_yPrevOut = allocate(n);
    m_eLin = allocate(n);
    m_eLinPrev = allocate(n);
    m_lRe = allocate(n);
    m_lIm = allocate(n);
    m_pwL = allocate(bins);
    m_olaTail = allocate(n);
    m_wRe = allocate(n);
    m_wIm = allocate(n);
    m_vRe = allocate(n);
    m_vIm = allocate(n);
    m_pwE = allocate(bins);
    m_pwY = allocate(bins);
    m_residual = allocate(bins);
    m_gain = allocate(bins);
    m_gainPrev = allocate(bins);
    m_pePrev = allocate(bins);

    m_bandOf.assign(size_t(bins), 0);
    for (int64_t k = 0; k < bins; ++k) {
        const double frequency = double(k) * r / double(m);
        int64_t band = B - 1;
        for (size_t e = 0; e < edges.size(); ++e) {
            if (edges[e] > frequency) {
                band = int64_t(e);
                break;
            }
        }
        m_bandOf[size_t(k)] = band;
        m_bandBins[band] += 1;
    }
    m_bandFirst.assign(size_t(B + 1), bins);
    m_bandFirst[0] = 0;
    for (int64_t b = 1; b <= B; ++b) {
        int64_t k = m_bandFirst[size_t(b - 1)];
        while (k < bins && m_bandOf[size_t(k)] < b)
            ++k;
        m_bandFirst[size_t(b)] = k;
    }
    m_bandFirst[size_t(B)] = bins;

    for (int64_t i = 0; i < n; ++i)
        m_ramp[i] = float(0.5 - 0.5 * std::cos(std::numbers::pi * (double(i) + 0.5) / double(n)));
    for (int64_t i = 0; i < m; ++i)
        m_window[i] = float(std::sqrt(0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(m))));

    m_fftTime = fftwf_alloc_real(size_t(m));
    m_fftSpectrum = reinterpret_cast<float*>(fftwf_alloc_complex(size_t(bins)));
    if (m_fftTime && m_fftSpectrum) {
        std::lock_guard guard(fftwPlannerLock());
        auto* spectrum = reinterpret_cast<fftwf_complex*>(m_fftSpectrum);
        m_forwardPlan = fftwf_plan_dft_r2c_1d(int(m), m_fftTime, spectrum, FFTW_MEASURE);
        m_inversePlan = fftwf_plan_dft_c2r_1d(int(m), spectrum, m_fftTime, FFTW_MEASURE);
        if (!m_forwardPlan || !m_inversePlan) {
            if (m_forwardPlan)
                fftwf_destroy_plan(m_forwardPlan);
            if (m_inversePlan)
                fftwf_destroy_plan(m_inversePlan);
            m_forwardPlan = m_inversePlan = nullptr;
        }
    }

    resetState();
}

EchoCanceller::~EchoCanceller()
{
    {
        std::lock_guard guard(fftwPlannerLock());
        if (m_forwardPlan)
            fftwf_destroy_plan(m_forwardPlan);
        if (m_inversePlan)
            fftwf_destroy_plan(m_inversePlan);
    }
    fftwf_free(m_fftTime);
    fftwf_free(m_fftSpectrum);
    for (float* buffer : m_buffers)
        fftwf_free(buffer);
}

float* EchoCanceller::allocate(int64_t count)
{
    float* buffer = fftwf_alloc_real(size_t(std::max<int64_t>(count, 1)));
    if (!buffer)
        throw std::bad_alloc();
    clear(buffer, std::max<int64_t>(count, 1));
    m_buffers.push_back(buffer);
    return buffer;
}

void EchoCanceller::process(const float* mic, const float* reference, float* output, int64_t frames)
{
    int64_t done = 0;
    while (done < frames) {
        const int64_t k = std::min(frames - done, m_n - m_fill);
        // The inputs are taken before the output is written, so output may alias mic.
        copy(mic + done, m_micBlock + m_fill, k);
        copy(reference + done, m_refBlock + m_fill, k);
        copy(m_outBlock + m_fill, output + done, k);
        m_fill += k;
        done += k;
        if (m_fill == m_n) {
            processBlock();
            m_fill = 0;
        }
    }
}

void EchoCanceller::reset() { resetState(); }

// --- Transforms -------------------------------------------------------------------------------
// Spectra are packed: re[0] is DC, im[0] the Nyquist value, re[k]/im[k] the bins between. The
// forward transform is the plain DFT and the inverse divides by m, so inverse(forward(x)) = x.

// Frames are the canceller's own work buffers, allocated by FFTW with the alignment the plans
// were made for, so the plans run on them directly (an out-of-place real transform keeps its
// input).
void EchoCanceller::forward(const float* frame, float* re, float* im)
{
    if (!m_forwardPlan)
        return;
    fftwf_execute_dft_r2c(m_forwardPlan, const_cast<float*>(frame),
                          reinterpret_cast<fftwf_complex*>(m_fftSpectrum));
    re[0] = m_fftSpectrum[0];
    im[0] = m_fftSpectrum[2 * m_n];
    deinterleave(m_fftSpectrum, re, im, m_n);
}

void EchoCanceller::inverse(float* re, float* im, float* frame)
{
    if (!m_inversePlan)
        return;
    float* s = m_fftSpectrum;
    s[0] = re[0];
    s[1] = 0;
    s[2 * m_n] = im[0];
    s[2 * m_n + 1] = 0;
    interleave(re, im, s, m_n);
    fftwf_execute_dft_c2r(m_inversePlan, reinterpret_cast<fftwf_complex*>(s), frame);
    scale(frame, 1.0f / float(m_m), m_m);
}

void EchoCanceller::powers(const float* re, const float* im, float* into) const
{
    into[0] = re[0] * re[0];
    into[m_n] = im[0] * im[0];
    for (int64_t k = 1; k < m_n; ++k)
        into[k] = re[k] * re[k] + im[k] * im[k];
}

void EchoCanceller::scaleBins(float* re, float* im, const float* g) const
{
    re[0] *= g[0];
    im[0] *= g[m_n];
    for (int64_t k = 1; k < m_n; ++k) {
        re[k] *= g[k];
        im[k] *= g[k];
    }
}

void EchoCanceller::echoEstimate(const float* fRe, const float* fIm, float* y)
{
    const int64_t n = m_n, P = m_partitions;
    clear(m_accRe, n);
    clear(m_accIm, n);
    for (int64_t p = 0; p < P; ++p) {
        const int64_t q = ((m_head - p) % P + P) % P;
        const float* fr = fRe + p * n;
        const float* fi = fIm + p * n;
        const float* xr = m_xRe + q * n;
        const float* xi = m_xIm + q * n;
        m_accRe[0] += fr[0] * xr[0];
        m_accIm[0] += fi[0] * xi[0];
        multiplyAccumulate(m_accRe, m_accIm, fr, fi, xr, xi, n);
    }
    inverse(m_accRe, m_accIm, m_timeB);
    copy(m_timeB + n, y, n);
}

// --- One block ----------------------------------------------------------------------------------

void EchoCanceller::processBlock()
{
    const int64_t n = m_n, P = m_partitions, bins = m_bins;

    if (!m_forwardPlan) {
        copyFinite(m_micPrev, m_outBlock, n);
        copyFinite(m_micBlock, m_micPrev, n);
        return;
    }

    // The newest reference spectrum: overlap-save frame of the previous and current block.
    copy(m_refPrev, m_timeA, n);
    copy(m_refBlock, m_timeA + n, n);
    copy(m_refBlock, m_refPrev, n);
    m_head = (m_head + 1) % P;
    forward(m_timeA, m_xRe + m_head * n, m_xIm + m_head * n);
    powers(m_xRe + m_head * n, m_xIm + m_head * n, m_xPow + m_head * bins);
    clear(m_norm, bins);
    for (int64_t p = 0; p < P; ++p) {
        const float* xp = m_xPow + p * bins;
        for (int64_t k = 0; k < bins; ++k)
            m_norm[k] += xp[k];
    }
    for (int64_t k = 0; k < bins; ++k)
        m_norm[k] *= 0.5f;

    const float refE = energy(m_refBlock, n);
    const float micE = energy(m_micBlock, n);

    echoEstimate(m_fgRe, m_fgIm, m_yFg);
    echoEstimate(m_bgRe, m_bgIm, m_yBg);
    for (int64_t i = 0; i < n; ++i) {
        m_eFg[i] = m_micBlock[i] - m_yFg[i];
        m_eBg[i] = m_micBlock[i] - m_yBg[i];
    }
    const float fgE = energy(m_eFg, n);
    const float bgE = energy(m_eBg, n);

    if (!std::isfinite(fgE) || !std::isfinite(bgE) || !std::isfinite(refE) || !std::isfinite(micE)) {
        recoverFromNonFinite();
        return;
    }

    m_sMic += 0.2f * (micE - m_sMic);
    m_sFg += 0.2f * (fgE - m_sFg);
    m_sBg += 0.2f * (bgE - m_sBg);
    m_micLevel += (micE > m_micLevel ? 0.3f : m_levelRelease) * (micE - m_micLevel);
    const float thr = m_energyFloor + 0.1f * m_micLevel;

    if (fgE > 2 * micE + thr)
        m_divergedCount += 1;
    else if (m_divergedCount > 0)
        m_divergedCount -= 1;

    const bool active = refE > float(n) * 1e-6f;
    enum class Choice { keep, takeOver, drop };
    Choice choice = Choice::keep;
    if (m_divergedCount >= m_divergedAfterBlocks) {
        m_divergedCount = 0;
        choice = (bgE < micE && m_sBg < m_sMic) ? Choice::takeOver : Choice::drop;
    } else if (bgE < fgE && active && m_sBg < 0.8f * m_sFg) {
        choice = Choice::takeOver;
    }

    switch (choice) {
    case Choice::keep:
        if (4 * m_sFg + thr < m_sBg) {
            copy(m_fgRe, m_bgRe, P * n);
            copy(m_fgIm, m_bgIm, P * n);
            copy(m_eFg, m_eBg, n);
            copy(m_yFg, m_yBg, n);
            m_sBg = m_sFg;
            m_diagnostics.backgroundResets += 1;
        }
        copy(m_eFg, m_eOut, n);
        break;
    case Choice::takeOver:
        copyBackgroundToForeground();
        m_sFg = m_sBg;
        for (int64_t i = 0; i < n; ++i)
            m_eOut[i] = m_eFg[i] + m_ramp[i] * (m_eBg[i] - m_eFg[i]);
        break;
    case Choice::drop:
        dropFilters();
        m_diagnostics.divergenceResets += 1;
        m_sFg = m_sBg = m_sMic;
        copy(m_micBlock, m_eBg, n);
        clear(m_yBg, n);
        for (int64_t i = 0; i < n; ++i)
            m_eOut[i] = m_eFg[i] + m_ramp[i] * (m_micBlock[i] - m_eFg[i]);
        break;
    }

    for (int64_t i = 0; i < n; ++i)
        m_yOut[i] = m_micBlock[i] - m_eOut[i];
    copy(m_eOut, m_eLin, n);
    const float outE = energy(m_eOut, n);

    // Cancelling that makes the block louder than the microphone blends back to the microphone.
    const float flag = outE > micE + m_energyFloor ? 1.0f : 0.0f;
    m_backOffBlockPrev = m_backOffBlock;
    m_backOffBlock = 0;
    if (m_backOff > 0 || flag == 1.0f) {
        for (int64_t i = 0; i < n; ++i) {
            const float g = m_backOff + (flag - m_backOff) * m_ramp[i];
            m_eOut[i] += g * (m_micBlock[i] - m_eOut[i]);
        }
        m_backOffBlock = (flag + m_backOff) * 0.5f;
        m_backOff = flag;
    }

    if (!active)
        m_errorFollowsEstimate = false;

    const float target = outE > micE + thr ? 1.0f : (m_errorFollowsEstimate ? 1.0f : 0.0f);
    m_misadjustedRecently += m_misadjustedSmoothing * (target - m_misadjustedRecently);
    if (m_adapted && m_misadjustedRecently > 0.3f) {
        m_adapted = false;
        m_misadjustedRecently = 0;
        m_activeSinceReset = m_takeOversSinceReset = 0;
        resetLeakage();
        m_diagnostics.relearns += 1;
    }

    if (active) {
        m_diagnostics.farEndActiveBlocks += 1;
        m_activeSinceReset += 1;
        m_erleMic += 0.05f * (micE - m_erleMic);
        m_erleOut += 0.05f * (energy(m_eOut, n) - m_erleOut);
        if (m_erleMic > 0 && m_erleOut > 0)
            m_diagnostics.erleDB = 10 * std::log10(m_erleMic / m_erleOut);
        if (!m_adapted && m_takeOversSinceReset >= 1 && m_activeSinceReset >= m_adaptedAfterBlocks
            && 2 * m_erleOut < m_erleMic)
            m_adapted = true;
        analyseOutput();
        updateLeakage();
        adaptBackground();
    } else {
        analyseOutput();
    }

    m_diagnostics.adapted = m_adapted;
    m_diagnostics.leakage = m_totalLeak;

    suppressResidual();

    if (std::isfinite(energy(m_outBlock, n)))
        copy(m_micBlock, m_micPrev, n);
    else
        recoverFromNonFinite();
}

void EchoCanceller::copyBackgroundToForeground()
{
    copy(m_bgRe, m_fgRe, m_partitions * m_n);
    copy(m_bgIm, m_fgIm, m_partitions * m_n);
    m_diagnostics.foregroundUpdates += 1;
    m_takeOversSinceReset += 1;
}

// Windows the last two output blocks (error and removed echo) into frames for the suppressor and
// the leakage estimate.
void EchoCanceller::analyseOutput()
{
    const int64_t n = m_n;
    for (int64_t i = 0; i < n; ++i) {
        m_timeA[i] = m_ePrevOut[i] * m_window[i];
        m_timeA[n + i] = m_eOut[i] * m_window[n + i];
        m_timeB[i] = m_yPrevOut[i] * m_window[i];
        m_timeB[n + i] = m_yOut[i] * m_window[n + i];
    }
    copy(m_eOut, m_ePrevOut, n);
    copy(m_yOut, m_yPrevOut, n);
    forward(m_timeA, m_wRe, m_wIm);
    forward(m_timeB, m_vRe, m_vIm);
    powers(m_wRe, m_wIm, m_pwE);
    powers(m_vRe, m_vIm, m_pwY);
    if (m_backOffBlock == 0 && m_backOffBlockPrev == 0) {
        copy(m_pwE, m_pwL, m_bins);
    } else {
        // While backing off, the leakage must see the linear error, not the blended one.
        for (int64_t i = 0; i < n; ++i) {
            m_timeA[i] = m_eLinPrev[i] * m_window[i];
            m_timeA[n + i] = m_eLin[i] * m_window[n + i];
        }
        forward(m_timeA, m_lRe, m_lIm);
        powers(m_lRe, m_lIm, m_pwL);
    }
    copy(m_eLin, m_eLinPrev, n);
}

void EchoCanceller::updateLeakage()
{
    const int64_t n = m_n, B = m_bandCount;
    float totalA = 0, totalYb = 0;
    for (int64_t b = 0; b < B; ++b) {
        const int64_t first = m_bandFirst[size_t(b)], last = m_bandFirst[size_t(b + 1)];
        const float A = sum(m_pwL + first, last - first);
        const float Y = sum(m_pwY + first, last - first);
        totalA += A;
        totalYb += Y;
        m_bandE[b] += 0.3f * (A - m_bandE[b]);
        m_bandY[b] += 0.3f * (Y - m_bandY[b]);
        // A band's leak estimate rises slowly (double talk must not raise it) and falls three
        // times as fast, but not at once: one that fell to each block's lowest ratio sat below
        // the echo actually left, and the suppressor let that echo through.
        if (m_bandY[b] > float(n) * 1e-8f * m_bandBins[b]) {
            const float ratio = m_bandE[b] / m_bandY[b];
            m_bandLeak[b] = std::clamp(std::max(m_bandLeak[b] * m_leakageFall, std::min(m_bandLeak[b] * m_leakageRise, ratio)),
                                       1e-4f, 1.0f);
        }
    }
    m_totalE += 0.3f * (totalA - m_totalE);
    m_totalY += 0.3f * (totalYb - m_totalY);
    if (m_totalY > float(n) * 1e-8f * float(m_bins))
        m_totalLeak = std::clamp(std::min(m_totalLeak * m_leakageRise, m_totalE / m_totalY), 1e-4f, 1.0f);
}

void EchoCanceller::adaptBackground()
{
    const int64_t n = m_n, m = m_m, bins = m_bins, P = m_partitions, B = m_bandCount;

    clear(m_timeA, n);
    copy(m_eBg, m_timeA + n, n);
    forward(m_timeA, m_errRe, m_errIm);

    if (m_adapted) {
        // Whether the background's error is still mostly its own echo estimate (a filter that
        // has stopped following the path): the re-learning rule reads it.
        clear(m_timeA, n);
        copy(m_yBg, m_timeA + n, n);
        forward(m_timeA, m_gradRe, m_gradIm);
        powers(m_gradRe, m_gradIm, m_binA);
        powers(m_errRe, m_errIm, m_binB);
        float num = 0, den = 0;
        for (int64_t b = 0; b < B; ++b) {
            const int64_t first = m_bandFirst[size_t(b)], last = m_bandFirst[size_t(b + 1)];
            float sC = 0, a = 0, c = 0;
            for (int64_t k = first; k < last; ++k) {
                a += m_binA[k];
                c += m_binB[k];
                if (k == 0)
                    sC += m_errRe[0] * m_gradRe[0];
                else if (k == n)
                    sC += m_errIm[0] * m_gradIm[0];
                else
                    sC += m_errRe[k] * m_gradRe[k] + m_errIm[k] * m_gradIm[k];
            }
            m_bandSey[b] += m_correlationSmoothing * (sC - m_bandSey[b]);
            m_bandSyy[b] += m_correlationSmoothing * (a - m_bandSyy[b]);
            m_bandSee[b] += m_correlationSmoothing * (c - m_bandSee[b]);
            if (m_bandSyy[b] > 0)
                num += m_bandSey[b] * m_bandSey[b] / m_bandSyy[b];
            den += m_bandSee[b];
        }
        m_errorFollowsEstimate = num > 0.85f * den && den > m_estimateFloor;
    } else {
        clear(m_bandSey, B);
        clear(m_bandSyy, B);
        clear(m_bandSee, B);
        m_errorFollowsEstimate = false;
    }

    // One normalised step, adapted or not. A step tied to the leakage estimate slowed the filter
    // wherever that estimate sat low (it falls at once and rises slowly), which on speech is
    // most of the time. Double talk is left to the two filters: the foreground, which never
    // adapts, gives way only to a background that does clearly better.
    const float meanNorm = sum(m_norm, bins) / float(bins);
    const float base = float(P) * float(n) * 1e-8f + 0.01f * meanNorm;
    // The constraint's inverse transform leaves out its 1/m: the step carries it.
    const float stepOverM = kStep / float(m);
    for (int64_t k = 0; k < bins; ++k)
        m_stepScale[k] = stepOverM / (base + m_norm[k]);
    const float lambda = 1.0f - 1e-5f * kStep;

    for (int64_t p = 0; p < P; ++p) {
        const int64_t q = ((m_head - p) % P + P) % P;
        const float* xr = m_xRe + q * n;
        const float* xi = m_xIm + q * n;
        // The gradient goes straight into the transform's buffer and comes back from it: one
        // pass each way over the partition, no packing.
        float* pairs = m_fftSpectrum;
        pairs[0] = xr[0] * m_errRe[0] * m_stepScale[0];
        pairs[1] = 0;
        pairs[2 * n] = xi[0] * m_errIm[0] * m_stepScale[n];
        pairs[2 * n + 1] = 0;
        conjugateMultiplyScaled(pairs, xr, xi, m_errRe, m_errIm, m_stepScale, n);
        // Keep every partition's filter n taps long.
        fftwf_execute_dft_c2r(m_inversePlan, reinterpret_cast<fftwf_complex*>(pairs), m_timeB);
        clear(m_timeB + n, m - n);
        fftwf_execute_dft_r2c(m_forwardPlan, m_timeB, reinterpret_cast<fftwf_complex*>(pairs));
        float* fr = m_bgRe + p * n;
        float* fi = m_bgIm + p * n;
        fr[0] = lambda * fr[0] + pairs[0];
        fi[0] = lambda * fi[0] + pairs[2 * n];
        leakyAdd(fr, fi, pairs, lambda, n);
    }
}

void EchoCanceller::suppressResidual()
{
    const int64_t n = m_n, bins = m_bins;
    const float b = (m_backOffBlock + m_backOffBlockPrev) * 0.5f;
    constexpr float kKeep = 0.9f;
    constexpr float kTake = 1.0f - kKeep;  // 0.100000024 in single precision
    constexpr float kResidualMargin = 4.0f;
    for (int64_t k = 0; k < bins; ++k) {
        const float est = m_pwY[k] * (b + (1 - b) * kResidualMargin * m_bandLeak[m_bandOf[size_t(k)]]);
        m_residual[k] = std::max(m_residualDecay * m_residual[k], est);
        const float xi = (kKeep * m_pePrev[k] * m_gainPrev[k] * m_gainPrev[k]
                          + kTake * std::max(m_pwE[k] - m_residual[k], 0.0f))
                         / (m_residual[k] + 1e-20f);
        m_binA[k] = m_residualSuppression ? std::clamp(xi / (xi + 1), 0.1f, 1.0f) : 1.0f;
    }

    m_gain[0] = 0.75f * m_binA[0] + 0.25f * m_binA[1];
    for (int64_t k = 1; k < n; ++k)
        m_gain[k] = 0.25f * m_binA[k - 1] + 0.5f * m_binA[k] + 0.25f * m_binA[k + 1];
    m_gain[n] = 0.25f * m_binA[n - 1] + 0.75f * m_binA[n];

    copy(m_gain, m_gainPrev, bins);
    copy(m_pwE, m_pePrev, bins);

    scaleBins(m_wRe, m_wIm, m_gain);
    inverse(m_wRe, m_wIm, m_timeA);
    for (int64_t i = 0; i < n; ++i) {
        m_outBlock[i] = m_olaTail[i] + m_timeA[i] * m_window[i];
        m_olaTail[i] = m_timeA[n + i] * m_window[n + i];
    }
}

// The raw microphone of the block before goes out (still two blocks late) and everything adapted
// is forgotten; the counters of the segment survive. Non-finite samples go out as silence.
void EchoCanceller::recoverFromNonFinite()
{
    const int64_t n = m_n;
    const Diagnostics saved = m_diagnostics;
    // eFg and eBg are recomputed from scratch every block, so they can carry the two blocks
    // across the reset, which clears both sources.
    copyFinite(m_micPrev, m_eFg, n);
    copyFinite(m_micBlock, m_eBg, n);
    resetState();
    copy(m_eFg, m_outBlock, n);
    copy(m_eBg, m_micPrev, n);
    m_diagnostics.farEndActiveBlocks = saved.farEndActiveBlocks;
    m_diagnostics.foregroundUpdates = saved.foregroundUpdates;
    m_diagnostics.backgroundResets = saved.backgroundResets;
    m_diagnostics.relearns = saved.relearns;
    m_diagnostics.erleDB = saved.erleDB;
    m_diagnostics.divergenceResets = saved.divergenceResets + 1;
    m_diagnostics.leakage = 1;
    m_diagnostics.adapted = false;
}

void EchoCanceller::resetState()
{
    const int64_t n = m_n, bins = m_bins, P = m_partitions, B = m_bandCount;
    m_fill = 0;
    for (float* x : {m_micBlock, m_refBlock, m_outBlock, m_refPrev, m_micPrev})
        clear(x, n);
    clear(m_xRe, P * n);
    clear(m_xIm, P * n);
    clear(m_xPow, P * bins);
    clear(m_norm, bins);
    for (float* x : {m_fgRe, m_fgIm, m_bgRe, m_bgIm})
        clear(x, P * n);
    clear(m_bandSey, B);
    clear(m_bandSyy, B);
    clear(m_bandSee, B);
    for (float* x : {m_ePrevOut, m_yPrevOut, m_olaTail, m_eLin, m_eLinPrev})
        clear(x, n);
    clear(m_residual, bins);
    clear(m_pePrev, bins);
    fillWith(m_gain, bins, 1.0f);
    fillWith(m_gainPrev, bins, 1.0f);
    m_errorFollowsEstimate = false;
    m_head = 0;
    resetLeakage();
    m_sMic = m_sFg = m_sBg = 0;
    m_divergedCount = 0;
    m_misadjustedRecently = 0;
    m_backOff = m_backOffBlock = m_backOffBlockPrev = 0;
    m_micLevel = 0;
    m_erleMic = m_erleOut = 0;
    m_adapted = false;
    m_activeSinceReset = m_takeOversSinceReset = 0;
    m_diagnostics = Diagnostics{};
}

void EchoCanceller::resetLeakage()
{
    fillWith(m_bandLeak, m_bandCount, 1.0f);
    clear(m_bandE, m_bandCount);
    clear(m_bandY, m_bandCount);
    m_totalE = m_totalY = 0;
    m_totalLeak = 1;
}

void EchoCanceller::dropFilters()
{
    const int64_t size = m_partitions * m_n;
    for (float* x : {m_fgRe, m_fgIm, m_bgRe, m_bgIm})
        clear(x, size);
    m_adapted = false;
    m_activeSinceReset = m_takeOversSinceReset = 0;
    resetLeakage();
}

}  // namespace harkwell
