// Plain C++ loops of the benchmark kernels (saxpy, 3x3 box blur, 12-round
// polynomial), shared by the kernel benchmarks as the reference their engines
// are timed and compared against. Built with the engines' float flags.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernel_cpp {

inline void saxpy(float* y, const float* x, float a, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) y[i] = a * x[i] + y[i];
}

inline void blur(const float* in, float* out, int w, int h) {
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            float s = 0.0f;
            int n = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    if (xx < 0 || yy < 0 || xx >= w || yy >= h) continue;
                    s += in[yy * w + xx];
                    ++n;
                }
            }
            out[static_cast<size_t>(y) * w + x] = s / static_cast<float>(n);
        }
    }
}

inline void poly(const double* x, double* out, uint64_t n) {
    for (uint64_t g = 0; g < n; ++g) {
        double s = 0.0, p = 1.0;
        for (int32_t i = 0; i < 12; i++) {
            s += p * double(i + 1);
            p *= x[g];
        }
        out[g] = s;
    }
}

}  // namespace kernel_cpp
