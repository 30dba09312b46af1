// Generated benchmark documents: deterministic, about `bytes` long each.
#ifndef VESNAR_JSON_BENCH_DOCUMENTS_H
#define VESNAR_JSON_BENCH_DOCUMENTS_H
#include <stddef.h>

#include <string>

// Status messages: objects with many strings, non-ASCII text and escapes.
std::string tweets_document(size_t bytes);
// Polygons: arrays of coordinate pairs, decimals of 6 to 17 digits.
std::string coordinates_document(size_t bytes);
// A catalogue nested eight levels deep, indented, mostly small objects.
std::string catalogue_document(size_t bytes);

#endif
