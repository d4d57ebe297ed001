// Memory guards: sizes a call would allocate, compared with this machine's memory before
// anything of that size is made. An allocation that fails inside a compiled core, or an
// XLA shape whose size overflows, ends the process (XLA aborts, or the result never
// becomes ready); here it is an ordinary MemoryError. Sizes are counted in double
// precision, so products of huge sizes cannot wrap, and in the item size of the working
// type (working_type.h: item_size).
#pragma once

#include "kovani/jax.h"

#include <string>

namespace kovani::model {

// Raises MemoryError "<what> needs at least X GiB for <detail>, more than this machine's
// Y GiB of memory" when `bytes` exceed this machine's physical memory.
void check_memory(const char *what, double bytes, const std::string &detail);

// A Python number as a double for size arithmetic: an integer beyond a double counts as
// infinitely large.
double as_size(nb::handle value);

// Bytes of an (n, K) array of `dtype`; 0 when K is not positive (JAX refuses a negative
// size itself).
double logits_bytes(const Jax &j, nb::handle n, nb::handle K, nb::handle dtype);

// The working set of a compiled core of the sweeps: `matrices` d_aug x d_aug matrices per
// coefficient row (the carry, twice over while the loop runs, and any fixed prior), two
// more for a class step, n x d_aug designs and the n x (rows + 1) logits of a class step,
// of `item_size` bytes each. `what` names the call.
void check_sweeps_memory(const char *what, double matrices, long long rows, long long d_aug, long long n,
                         double item_size);

}  // namespace kovani::model
