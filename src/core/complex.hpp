// The complex number record of the whole core and its four operations. Each
// product and sum is rounded separately (the build forbids fused multiply-add),
// so every result matches the written formula bit for bit.
#pragma once

namespace velqor {

struct Complex {
    double real;
    double imag;
};

inline constexpr Complex kZero{0.0, 0.0};
inline constexpr Complex kOne{1.0, 0.0};

constexpr Complex add(Complex x, Complex y) noexcept { return {x.real + y.real, x.imag + y.imag}; }

constexpr Complex mul(Complex x, Complex y) noexcept {
    return {x.real * y.real - x.imag * y.imag, x.real * y.imag + x.imag * y.real};
}

constexpr Complex conj(Complex x) noexcept { return {x.real, -x.imag}; }

constexpr double norm_sqr(Complex x) noexcept { return x.real * x.real + x.imag * x.imag; }

}  // namespace velqor
