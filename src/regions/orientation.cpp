#include "regions/orientation.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace quorvel::regions {
namespace {

// An exact sum of doubles kept as a nonoverlapping expansion: components in
// increasing magnitude, their exact sum the value. Twelve terms of two
// components each bound its length, so it lives on the stack.
class Expansion {
 public:
  void add(double value) {
    std::size_t kept = 0;
    double carry = value;
    for (std::size_t i = 0; i < size_; ++i) {
      const double sum = carry + parts_[i];
      // Two-sum: `sum` plus `error` is carry + parts_[i] exactly.
      const double b_virtual = sum - carry;
      const double a_virtual = sum - b_virtual;
      const double error = (carry - a_virtual) + (parts_[i] - b_virtual);
      if (error != 0.0) parts_[kept++] = error;
      carry = sum;
    }
    if (carry != 0.0) parts_[kept++] = carry;
    size_ = kept;
  }

  // The product a*b, added exactly as its rounded value and the rounding
  // error (fma gives the error exactly while the product is normal).
  void add_product(double a, double b) {
    const double product = a * b;
    add(std::fma(a, b, -product));
    add(product);
  }

  // The sign of the exact sum: that of the largest component.
  int sign() const {
    if (size_ == 0) return 0;
    return parts_[size_ - 1] > 0.0 ? 1 : -1;
  }

 private:
  // Each add keeps at most one more component than before; 24 terms.
  double parts_[25] = {};
  std::size_t size_ = 0;
};

// A signed integer of 36 64-bit limbs in two's complement: room for the
// determinant of any coordinates as whole multiples of 2^-1074 (each below
// 2^1083, each product below 2^2166), 288 bytes each on the stack.
class WideInt {
 public:
  static constexpr int kLimbs = 36;

  // d * 2^1074, exactly: every finite double is a whole multiple of 2^-1074.
  static WideInt from_double(double d) {
    WideInt out;
    if (d == 0.0) return out;
    int exponent;
    const double fraction = std::frexp(std::fabs(d), &exponent);
    // d = mantissa * 2^(exponent - 53), mantissa a 53-bit integer.
    std::uint64_t mantissa =
        static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    int shift = exponent - 53 + 1074;
    if (shift < 0) {  // Subnormal: the low bits are zeros.
      mantissa >>= -shift;
      shift = 0;
    }
    out.limbs_[shift / 64] = mantissa << (shift % 64);
    if (shift % 64 != 0 && shift / 64 + 1 < kLimbs) {
      out.limbs_[shift / 64 + 1] = mantissa >> (64 - shift % 64);
    }
    return d < 0 ? out.negated() : out;
  }

  WideInt plus(const WideInt& other) const {
    WideInt out;
    unsigned __int128 carry = 0;
    for (int i = 0; i < kLimbs; ++i) {
      carry += static_cast<unsigned __int128>(limbs_[i]) + other.limbs_[i];
      out.limbs_[i] = static_cast<std::uint64_t>(carry);
      carry >>= 64;
    }
    return out;
  }

  WideInt minus(const WideInt& other) const { return plus(other.negated()); }

  WideInt times(const WideInt& other) const {
    const bool negative = is_negative() != other.is_negative();
    const WideInt a = is_negative() ? negated() : *this;
    const WideInt b = other.is_negative() ? other.negated() : other;
    WideInt out;
    for (int i = 0; i < kLimbs; ++i) {
      if (a.limbs_[i] == 0) continue;
      unsigned __int128 carry = 0;
      for (int j = 0; i + j < kLimbs; ++j) {
        carry += static_cast<unsigned __int128>(a.limbs_[i]) * b.limbs_[j] +
                 out.limbs_[i + j];
        out.limbs_[i + j] = static_cast<std::uint64_t>(carry);
        carry >>= 64;
      }
    }
    return negative ? out.negated() : out;
  }

  int sign() const {
    if (is_negative()) return -1;
    for (std::uint64_t limb : limbs_) {
      if (limb != 0) return 1;
    }
    return 0;
  }

 private:
  bool is_negative() const { return (limbs_[kLimbs - 1] >> 63) != 0; }

  WideInt negated() const {
    WideInt out;
    for (int i = 0; i < kLimbs; ++i) out.limbs_[i] = ~limbs_[i];
    WideInt one;
    one.limbs_[0] = 1;
    return out.plus(one);
  }

  std::uint64_t limbs_[kLimbs] = {};
};

// Below this magnitude a product of two coordinates may fall among the
// subnormal doubles, where fma no longer gives its rounding error exactly.
constexpr double kTinyCoordinate = 0x1p-400;

bool is_tiny(double v) { return v != 0.0 && std::fabs(v) < kTinyCoordinate; }

}  // namespace

int orientation_exact(double ax, double ay, double bx, double by, double cx,
                      double cy) {
  if (is_tiny(ax) || is_tiny(ay) || is_tiny(bx) || is_tiny(by) || is_tiny(cx) ||
      is_tiny(cy)) {
    // Coordinates within 2^-400 of zero (no map has them, but a crafted
    // input may): integer arithmetic, slow and exact for every double.
    const WideInt wax = WideInt::from_double(ax);
    const WideInt way = WideInt::from_double(ay);
    const WideInt wbx = WideInt::from_double(bx);
    const WideInt wby = WideInt::from_double(by);
    const WideInt wcx = WideInt::from_double(cx);
    const WideInt wcy = WideInt::from_double(cy);
    return wax.times(wby.minus(wcy))
        .plus(wbx.times(wcy.minus(way)))
        .plus(wcx.times(way.minus(wby)))
        .sign();
  }
  // The determinant expanded over the coordinates themselves, so that no
  // rounded difference enters: ax(by-cy) + bx(cy-ay) + cx(ay-by). Every
  // product here is far above the subnormal range, so each is exactly its
  // rounded value plus its fma error.
  Expansion sum;
  sum.add_product(ax, by);
  sum.add_product(-ax, cy);
  sum.add_product(bx, cy);
  sum.add_product(-bx, ay);
  sum.add_product(cx, ay);
  sum.add_product(-cx, by);
  return sum.sign();
}

}  // namespace quorvel::regions
