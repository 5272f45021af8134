#include "analysis/dft.h"

#include <fftw3.h>

#include <cmath>
#include <map>
#include <mutex>
#include <numbers>

namespace vantorel::analysis {

namespace {

constexpr double kHannNormalisation = 0.8165;

// Plans live as long as the process: the analyses use two sizes only, and a
// plan destroyed while another thread executes it would be a crash. The map
// is never destroyed either, so that no exit-time destructor races a
// detached analysis and the plans stay reachable to the leak checker.
fftwf_plan sharedPlan(std::size_t size) {
    static std::mutex lock;
    static auto* plans = new std::map<std::size_t, fftwf_plan>();
    std::lock_guard guard(lock);
    if (auto found = plans->find(size); found != plans->end()) return found->second;
    // FFTW_ESTIMATE: the plan, hence every rounding of the result, is the
    // same on every run; measuring plans would buy little at these sizes.
    float* in = fftwf_alloc_real(size);
    fftwf_complex* out = fftwf_alloc_complex(size / 2 + 1);
    fftwf_plan plan = nullptr;
    if (in != nullptr && out != nullptr) plan = fftwf_plan_dft_r2c_1d(static_cast<int>(size), in, out, FFTW_ESTIMATE);
    fftwf_free(in);
    fftwf_free(out);
    if (plan != nullptr) plans->emplace(size, plan);
    return plan;
}

}  // namespace

std::vector<float> hannWindow(std::size_t size) {
    std::vector<float> window(size);
    for (std::size_t k = 0; k < size; ++k) {
        double phase = 2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(size);
        window[k] = static_cast<float>(kHannNormalisation * (1.0 - std::cos(phase)));
    }
    return window;
}

RealDft::RealDft(std::size_t size) : size_(size) {
    if (size < 2) return;
    fftwf_plan plan = sharedPlan(size);
    if (plan == nullptr) return;
    // fftwf_alloc_* gives the SIMD alignment the plan was made with, which
    // the new-array execute requires.
    input_ = fftwf_alloc_real(size);
    output_ = reinterpret_cast<std::complex<float>*>(fftwf_alloc_complex(size / 2 + 1));
    if (input_ != nullptr && output_ != nullptr) plan_ = plan;
}

RealDft::~RealDft() {
    fftwf_free(input_);
    fftwf_free(output_);
}

void RealDft::run() {
    fftwf_execute_dft_r2c(static_cast<fftwf_plan>(plan_), input_, reinterpret_cast<fftwf_complex*>(output_));
}

}  // namespace vantorel::analysis
