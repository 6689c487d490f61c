"""Reading GeoJSON for ``Regions.from_geojson``.

The collection is read with the json module and flattened into the arrays
the engine builds from (see ``_build_regions``): coordinates as float64,
ring, polygon and region offsets as uint32, and the records as text. The
geometry's rules (closed rings, finite coordinates within range, no
unsplit antimeridian crossing) are the engine's to check, so that a saved
file and a built index obey the same ones; this layer only checks the
GeoJSON structure and names the feature it is reading.
"""

from __future__ import annotations

import importlib
import json
import math
import os
from array import array
from typing import Any

from quorvel import Regions

# The builder is private to the extension and has no stub entry.
_core: Any = importlib.import_module("quorvel._core")


def _load_collection(source: Any) -> Any:
    if isinstance(source, dict):
        return source
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as handle:
            return json.load(handle)
    if hasattr(source, "__geo_interface__"):
        return source.__geo_interface__
    if hasattr(source, "read"):
        return json.load(source)
    raise TypeError(
        "argument 'source': expected a path, a file object, a dict or an object "
        f"with __geo_interface__, not '{type(source).__qualname__}'"
    )


def _field_text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    if isinstance(value, float) and value.is_integer() and math.isfinite(value):
        # GeoPandas hands integer columns over as floats where they hold
        # missing values; their JSON text would read 12.0.
        return str(int(value))
    return json.dumps(value, ensure_ascii=False)


def _positions(ring: Any, where: str) -> list[float]:
    flat: list[float] = []
    if not isinstance(ring, (list, tuple)):
        raise ValueError(f"{where}: a ring must be an array of positions")
    for position in ring:
        if not isinstance(position, (list, tuple)) or len(position) < 2:
            raise ValueError(f"{where}: a position must be an array of at least 2 numbers")
        try:
            flat.append(float(position[0]))
            flat.append(float(position[1]))
        except (TypeError, ValueError):
            raise ValueError(f"{where}: a coordinate is not a number") from None
    return flat


def from_geojson(source: Any, *, fields: Any = None) -> Regions:
    collection = _load_collection(source)
    if not isinstance(collection, dict) or collection.get("type") != "FeatureCollection":
        raise ValueError("the GeoJSON is not a FeatureCollection")
    features = collection.get("features")
    if not isinstance(features, (list, tuple)):
        raise ValueError("the FeatureCollection has no 'features' array")
    if fields is not None:
        if isinstance(fields, str):
            raise TypeError("argument 'fields': expected a sequence of str, not a str")
        columns = list(fields)
        if not all(isinstance(name, str) for name in columns):
            raise TypeError("argument 'fields': every name must be a str")
    else:
        first = features[0].get("properties") if features and isinstance(features[0], dict) else None
        columns = list(first) if isinstance(first, dict) else []
    if len(set(columns)) != len(columns):
        raise ValueError("argument 'fields': a name is repeated")
    coordinates = array("d")
    ring_offsets = array("I", [0])
    polygon_offsets = array("I", [0])
    region_offsets = array("I", [0])
    records: list[str] = []
    for number, feature in enumerate(features):
        where = f"feature {number}"
        if not isinstance(feature, dict) or feature.get("type") != "Feature":
            raise ValueError(f"{where}: not a GeoJSON Feature")
        geometry: Any = feature.get("geometry")
        kind = geometry.get("type") if isinstance(geometry, dict) else None
        if kind == "Polygon":
            polygons = [geometry.get("coordinates")]
        elif kind == "MultiPolygon":
            polygons = geometry.get("coordinates")
        else:
            shown = "no geometry" if geometry is None else f"a {kind} geometry"
            raise ValueError(f"{where} has {shown}; only Polygon and MultiPolygon are accepted")
        if not isinstance(polygons, (list, tuple)):
            raise ValueError(f"{where}: the geometry has no coordinates array")
        for polygon in polygons:
            if not isinstance(polygon, (list, tuple)):
                raise ValueError(f"{where}: a polygon must be an array of rings")
            for ring in polygon:
                coordinates.extend(_positions(ring, where))
                ring_offsets.append(len(coordinates) // 2)
            polygon_offsets.append(len(ring_offsets) - 1)
        region_offsets.append(len(polygon_offsets) - 1)
        properties = feature.get("properties")
        if not isinstance(properties, dict):
            properties = {}
        records.extend(_field_text(properties.get(name)) for name in columns)
    try:
        built: Regions = _core._build_regions(
            coordinates, ring_offsets, polygon_offsets, region_offsets, columns, records
        )
    except ValueError as error:
        # The engine numbers regions, which here are the features one for one.
        text = str(error)
        if text.startswith("region "):
            raise ValueError("feature " + text[len("region "):]) from None
        raise
    return built
