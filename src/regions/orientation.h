// The sign of the orientation of three points in the plane, exactly.
//
// Containment answers must not depend on rounding: a position exactly on an
// edge is inside, and a position a hair beside it is decided by the side it
// is on. The predicate first evaluates the determinant in double precision
// with a bound on its rounding error; only when the bound cannot settle the
// sign (the points are collinear or nearly so) does it evaluate the
// determinant as an exact sum of error-free products.
//
// The answer is exact for every finite double. Coordinates within 2^-400 of
// zero (where products could fall among the subnormal doubles and lose
// their rounding error) take a slower path through wide integers.
//
// Thread safety: pure functions.

#ifndef QUORVEL_REGIONS_ORIENTATION_H_
#define QUORVEL_REGIONS_ORIENTATION_H_

#include <cmath>

namespace quorvel::regions {

// Exact sign of the determinant |bx-ax  cx-ax; by-ay  cy-ay| when the
// double estimate cannot settle it: +1, 0 or -1.
int orientation_exact(double ax, double ay, double bx, double by, double cx,
                      double cy);

// +1 when c lies to the left of the directed line a->b, -1 to its right, 0
// when the three points are collinear (or two coincide).
inline int orientation(double ax, double ay, double bx, double by, double cx,
                       double cy) {
  const double left = (bx - ax) * (cy - ay);
  const double right = (by - ay) * (cx - ax);
  const double det = left - right;
  // The error bound of the double evaluation, (3 + 16 eps) * eps times the
  // magnitudes; a determinant beyond it has the sign it shows.
  const double magnitude = std::fabs(left) + std::fabs(right);
  const double bound = 3.3306690738754716e-16 * magnitude;
  // The bound assumes no product fell among the subnormal doubles, whose
  // rounding is absolute, not relative; far above them it holds.
  if (magnitude > 1e-200) {
    if (det > bound) return 1;
    if (-det > bound) return -1;
  }
  return orientation_exact(ax, ay, bx, by, cx, cy);
}

}  // namespace quorvel::regions

#endif  // QUORVEL_REGIONS_ORIENTATION_H_
