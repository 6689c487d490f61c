// The Regions class as Python sees it: an immutable index of polygons with
// records (see regions/regions.h), searched by position in batches.
//
// A heap type named "quorvel.Regions" with Py_TPFLAGS_DEFAULT and
// Py_TPFLAGS_IMMUTABLETYPE: final, its attributes fixed, not tracked by the
// cyclic collector, without instance __dict__ or weak references. Instances
// are made only by the class's constructors (from_geojson, load, loads,
// world_countries); parsing GeoJSON is the package's Python layer's work,
// which hands flat arrays to the module's private `_build_regions`.
//
// Thread safety: requires the interpreter lock. Instances never change, so
// any number of threads may call methods on one; the batch lookups release
// the lock around the search.

#ifndef QUORVEL_PYTHON_REGIONS_CLASS_H_
#define QUORVEL_PYTHON_REGIONS_CLASS_H_

#include <Python.h>

#include "regions/regions.h"

namespace quorvel::py {

// The core index of `object`, valid while `object` lives (instances never
// change), or NULL with TypeError raised when `object` is not a Regions.
const regions::Regions* regions_of(PyObject* object);

// Publishes `Regions` on `module` and lists it in its __all__, together
// with the module functions `_build_regions` and `_loads_regions` (the
// unpickler). False with the error raised.
bool add_regions(PyObject* module);

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_REGIONS_CLASS_H_
