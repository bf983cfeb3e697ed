#pragma once

#include <cstdint>
#include <vector>

// FFTW's plan type, without pulling fftw3.h into every includer.
struct fftwf_plan_s;

namespace harkwell {

// Removes the far end's sound (the system audio played through the speakers and picked up again)
// from the microphone. A partitioned-block frequency-domain adaptive filter (overlap-save, 50 %
// overlap) with a background filter that adapts and a foreground filter that is replaced when the
// background does better, followed by a residual echo suppressor resynthesised by overlap-add.
// Mono 32-bit float at the segment's rate; the output lags the input by exactly 2 × blockSize()
// samples and is always finite. Not shared between threads: the caller serialises every call.
class EchoCanceller final {
public:
    struct Diagnostics {
        int64_t farEndActiveBlocks = 0;
        int64_t foregroundUpdates = 0;
        int64_t backgroundResets = 0;
        int64_t divergenceResets = 0;
        int64_t relearns = 0;
        float leakage = 1.0f;
        float erleDB = 0.0f;
        bool adapted = false;
    };

    // `residualSuppression` off leaves the linear stage alone (the output is then its error,
    // resynthesised with the same delay): for measuring the adaptive filter on its own.
    explicit EchoCanceller(double sampleRate, bool residualSuppression = true);
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // Takes `frames` microphone and reference samples and writes `frames` cleaned microphone
    // samples of two blocks earlier. Any count works across calls; 0 or less does nothing.
    // `output` may be the same memory as `mic`.
    void process(const float* mic, const float* reference, float* output, int64_t frames);
    // Back to the state just after construction; sizes, constants, bands and windows stay.
    void reset();

    double sampleRate() const { return m_sampleRate; }
    int64_t blockSize() const { return m_blockSize; }
    int64_t partitions() const { return m_partitions; }
    int64_t bandCount() const { return m_bandCount; }
    const Diagnostics& diagnostics() const { return m_diagnostics; }

private:
    float* allocate(int64_t count);
    void processBlock();
    void resetState();
    void resetLeakage();
    void dropFilters();
    void forward(const float* frame, float* re, float* im);
    void inverse(float* re, float* im, float* frame);
    void powers(const float* re, const float* im, float* into) const;
    void echoEstimate(const float* fRe, const float* fIm, float* y);
    void scaleBins(float* re, float* im, const float* g) const;
    void copyBackgroundToForeground();
    void recoverFromNonFinite();
    void analyseOutput();
    void updateLeakage();
    void adaptBackground();
    void suppressResidual();

    const double m_sampleRate;
    const bool m_residualSuppression;
    int64_t m_blockSize = 0;
    int64_t m_partitions = 0;
    Diagnostics m_diagnostics;

    int64_t m_n = 0, m_m = 0, m_bins = 0;
    unsigned m_log2m = 0;
    // Both plans or neither; without them the microphone passes through, still two blocks late.
    fftwf_plan_s* m_forwardPlan = nullptr;
    fftwf_plan_s* m_inversePlan = nullptr;
    float* m_fftTime = nullptr;      // m real samples: the plans' time side
    float* m_fftSpectrum = nullptr;  // bins complex values, interleaved: the plans' frequency side

    float m_residualDecay = 0;
    int64_t m_adaptedAfterBlocks = 0;
    int64_t m_divergedAfterBlocks = 0;
    float m_misadjustedSmoothing = 0;
    float m_correlationSmoothing = 0;
    float m_estimateFloor = 0;
    float m_energyFloor = 0;
    float m_levelRelease = 0;
    float m_leakageRise = 0;
    float m_leakageFall = 0;
    int64_t m_bandCount = 0;

    std::vector<float*> m_buffers;  // every buffer below, zero-filled at construction, for freeing

    int64_t m_fill = 0;
    float *m_micBlock = nullptr, *m_refBlock = nullptr, *m_outBlock = nullptr;
    float *m_refPrev = nullptr, *m_micPrev = nullptr;
    float *m_xRe = nullptr, *m_xIm = nullptr, *m_xPow = nullptr;  // P reference spectra, circular
    int64_t m_head = 0;
    float* m_norm = nullptr;
    float *m_fgRe = nullptr, *m_fgIm = nullptr, *m_bgRe = nullptr, *m_bgIm = nullptr;
    float *m_timeA = nullptr, *m_timeB = nullptr;
    float *m_accRe = nullptr, *m_accIm = nullptr;
    float *m_errRe = nullptr, *m_errIm = nullptr;
    float *m_gradRe = nullptr, *m_gradIm = nullptr;
    float *m_yFg = nullptr, *m_yBg = nullptr, *m_eFg = nullptr, *m_eBg = nullptr;
    float *m_eOut = nullptr, *m_yOut = nullptr;
    float *m_stepScale = nullptr, *m_binA = nullptr, *m_binB = nullptr;
    float *m_ramp = nullptr, *m_window = nullptr;
    std::vector<int64_t> m_bandOf;
    float* m_bandBins = nullptr;
    float *m_bandE = nullptr, *m_bandY = nullptr, *m_bandLeak = nullptr;
    std::vector<int64_t> m_bandFirst;
    float *m_bandSey = nullptr, *m_bandSyy = nullptr, *m_bandSee = nullptr;
    bool m_errorFollowsEstimate = false;
    float m_totalE = 0, m_totalY = 0, m_totalLeak = 1;
    float *m_ePrevOut = nullptr, *m_yPrevOut = nullptr;
    float *m_eLin = nullptr, *m_eLinPrev = nullptr;
    float *m_lRe = nullptr, *m_lIm = nullptr, *m_pwL = nullptr;
    float* m_olaTail = nullptr;
    float *m_wRe = nullptr, *m_wIm = nullptr, *m_vRe = nullptr, *m_vIm = nullptr;
    float *m_pwE = nullptr, *m_pwY = nullptr;
    float* m_residual = nullptr;
    float *m_gain = nullptr, *m_gainPrev = nullptr, *m_pePrev = nullptr;
    float m_sMic = 0, m_sFg = 0, m_sBg = 0;
    int64_t m_divergedCount = 0;
    float m_misadjustedRecently = 0;
    float m_backOff = 0, m_backOffBlock = 0, m_backOffBlockPrev = 0;
    float m_micLevel = 0;
    float m_erleMic = 0, m_erleOut = 0;
    bool m_adapted = false;
    int64_t m_activeSinceReset = 0, m_takeOversSinceReset = 0;
};

}  // namespace harkwell
