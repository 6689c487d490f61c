#include "regions/orientation.h"

#include <cmath>
#include <cstddef>

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

}  // namespace

int orientation_exact(double ax, double ay, double bx, double by, double cx,
                      double cy) {
  // The determinant expanded over the coordinates themselves, so that no
  // rounded difference enters: ax(by-cy) + bx(cy-ay) + cx(ay-by).
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
