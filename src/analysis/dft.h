// The forward DFT and the analysis window shared by both analyzers
// (internal; not for other subsystems).
//
// FFTW plans are made once per size for the life of the process; making one
// is not thread-safe in FFTW, so creation happens under a lock, while
// executing a plan on a caller's own buffers is safe from any thread. Each
// `RealDft` owns its buffers, so concurrent analyses share only the plan.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace vantorel::analysis {

// The periodic Hann shape 1 − cos(2πk/N), k = 0…N−1, scaled by 0.8165 so
// that its mean square is 1 (the normalised window the analyses were tuned
// with; the chroma's ln(1 + m) depends on this scale).
std::vector<float> hannWindow(std::size_t size);

class RealDft {
public:
    // Fetches (or makes) the plan for `size` points and allocates aligned
    // buffers. When FFTW cannot plan or memory runs out, valid() is false.
    explicit RealDft(std::size_t size);
    ~RealDft();
    RealDft(const RealDft&) = delete;
    RealDft& operator=(const RealDft&) = delete;

    bool valid() const { return plan_ != nullptr; }
    std::size_t size() const { return size_; }
    // `size` real samples to transform.
    float* input() { return input_; }
    // Bins 0…size/2 of the unscaled forward transform; the other half is
    // their mirror, since the input is real.
    const std::complex<float>* output() const { return output_; }
    void run();

private:
    std::size_t size_;
    void* plan_ = nullptr;
    float* input_ = nullptr;
    std::complex<float>* output_ = nullptr;
};

}  // namespace vantorel::analysis
