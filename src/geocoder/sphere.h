// The sphere geometry of the geocoder: positions in degrees become unit
// vectors, and squared chord distances between unit vectors become
// great-circle kilometres. Construction, the scalar lookups and every batch
// use these same functions, so identical inputs give bit-identical vectors
// and distances wherever they are computed.
//
// Thread safety: constants and pure functions.

#ifndef QUORVEL_GEOCODER_SPHERE_H_
#define QUORVEL_GEOCODER_SPHERE_H_

#include <span>

#include "kdtree/kdtree.h"

namespace quorvel {

// The double nearest to pi / 180. Its name does not follow the kCamelCase of
// the other constants because programs built against the engine refer to it
// by this name; renaming it would break them.
inline constexpr double DEGREES_TO_RADIANS = 0.017453292519943295;

// Mean radius of the Earth in kilometres, for great-circle distances.
inline constexpr double kEarthRadiusKm = 6371.0088;

// The unit vector of a latitude and longitude in degrees. Construction and
// lookups both use it, so identical inputs give bit-identical vectors.
kdtree::Point lat_lon_to_point(double lat, double lon);

// The great-circle distance in kilometres on a sphere of kEarthRadiusKm for a
// squared chord distance on the unit sphere; NaN stays NaN.
double chord_to_km(double squared_chord);

// Converts squared chord distances to kilometres in place.
void chords_to_km(std::span<double> values);

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_SPHERE_H_
