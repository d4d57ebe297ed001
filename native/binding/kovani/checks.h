// Checks both modules make beyond the documented ones: each turns an input that would
// end the process, or silently give a wrong record or result, into an exception. They
// run after every documented read and check, so the documented errors keep their order.
#pragma once

#include "kovani/jax.h"

namespace kovani {

// Raises MemoryError when `bytes` exceed this machine's physical memory. An allocation
// that fails inside a compiled core or an XLA shape whose size overflows ends the process
// (XLA aborts, or the result never becomes ready); here it is an ordinary exception.
// The message reads "<what> needs at least X GiB for <detail>, more than this machine's
// Y GiB of memory". Computed in double precision, so products of huge sizes cannot wrap.
void check_memory(const char *what, double bytes, const std::string &detail);

// Bytes of an (n, K) array of `dtype`, in double precision; 0 when K is not positive
// (JAX refuses a negative size itself). An XLA shape whose size overflows 64 bits aborts
// the process, so this is checked before such an array is made.
double logits_bytes(const Jax &j, nb::handle n, nb::handle K, nb::handle dtype);

// The coefficient arrays of a record must agree with its class list: beta_mean (R, d_aug),
// beta_cov_chol (R, d_aug, d_aug), non_ref_classes (R,). A traced row index is clamped by
// JAX rather than refused, so a record with more classes than rows would be updated or
// read wrongly without a word. Raises ValueError naming the three entries and their shapes.
void check_record_shapes(nb::handle beta_mean, nb::handle beta_cov_chol, nb::handle non_ref);

}  // namespace kovani
