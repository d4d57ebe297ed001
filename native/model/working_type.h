// The working floating type: the one floating type of every device array a call makes.
#pragma once

#include "kovani/jax.h"

namespace kovani::model {

// Training's choice from the element type of its input: jnp.float64 for float64 input
// while JAX's 64-bit mode is on (the flag read anew on every call: the caller may flip it
// between calls), jnp.float32 for everything else.
nb::object training_type(const Jax &j, nb::handle input_dtype);

// `dtype` as JAX holds it: float64 is float32 while the 64-bit mode is off. Prediction
// works in the stored beta_mean's type taken so.
nb::object held_type(const Jax &j, nb::handle dtype);

// Bytes per element of `dtype` as JAX holds it: the one measure of the memory guards of
// fit, update and prediction.
double item_size(const Jax &j, nb::handle dtype);

// Whether the element type of `a` (its `dtype`, a NumPy dtype) is float32 or float64, in
// either byte order: what records hold, told apart without NumPy's and JAX's type tests
// (microseconds each, on every call of the live loop). False for anything else, which
// those tests then decide.
bool float32_or_float64(const Jax &j, nb::handle a);

}  // namespace kovani::model
