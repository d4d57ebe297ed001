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

// A Python number as a double for size arithmetic: an integer beyond a double counts as
// infinitely large, so products of huge sizes cannot wrap.
double as_size(nb::handle value);

// Bytes of an (n, K) array of `dtype`, in double precision; 0 when K is not positive
// (JAX refuses a negative size itself). An XLA shape whose size overflows 64 bits aborts
// the process, so this is checked before such an array is made.
double logits_bytes(const Jax &j, nb::handle n, nb::handle K, nb::handle dtype);

// A record's class bookkeeping and coefficient arrays must agree, as the record format
// requires. Raises ValueError "inconsistent model record: ..." naming the entries, in this
// order of checks:
// - beta_mean (R, d_aug), beta_cov_chol (R, d_aug, d_aug) and non_ref_classes (R,): a
//   traced row index is clamped by JAX rather than refused, so a record with more classes
//   than rows would be updated or read wrongly without a word;
// - R = n_classes - 1, ref_class in [0, n_classes), and non_ref_classes listing every
//   other class index once: otherwise columns of the logits stay at 0 for classes that
//   have no row, or a row's scores land in a column that is not its class, or nowhere.
// `non_ref` is the int64 NumPy array read from the record.
void check_record(long long n_classes, long long ref_class, nb::handle non_ref, nb::handle beta_mean,
                  nb::handle beta_cov_chol);

// A record's coefficients are real numbers: the imaginary part of a complex entry would be
// dropped, or carried into complex "probabilities". Where the stored beta_mean sets the
// working type (prediction), `floating_mean` also requires it to be floating point: an
// integer one would truncate the trials to integers. Raises ValueError "invalid model
// record: ...". Arguments are the entries as read (arrays, or anything NumPy converts).
void check_record_types(const Jax &j, nb::handle beta_mean, nb::handle beta_cov_chol, bool floating_mean);

}  // namespace kovani
