#include "geocoder/sphere.h"

#include <math.h>  // ::sincos (a GNU extension, declared for C++ by default)

#include <cmath>

namespace quorvel {

kdtree::Point lat_lon_to_point(double lat, double lon) {
  const double phi = lat * DEGREES_TO_RADIANS;
  const double lambda = lon * DEGREES_TO_RADIANS;
  double sin_phi, cos_phi, sin_lambda, cos_lambda;
  ::sincos(phi, &sin_phi, &cos_phi);
  ::sincos(lambda, &sin_lambda, &cos_lambda);
  return {cos_phi * cos_lambda, cos_phi * sin_lambda, sin_phi};
}

double chord_to_km(double squared_chord) {
  // Rounding can put a near-antipodal chord a hair past the diameter, where
  // asin would give NaN; the clamp is written so that a NaN chord stays NaN.
  const double half = std::sqrt(squared_chord) / 2.0;
  return 2.0 * kEarthRadiusKm * std::asin(half > 1.0 ? 1.0 : half);
}

void chords_to_km(std::span<double> values) {
  for (double& v : values) v = chord_to_km(v);
}

}  // namespace quorvel
