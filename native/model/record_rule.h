// The rule for a valid record, as the native readers hold a record to it. A record is
// valid when its structure holds:
// - n_classes >= 2, ref_class one of the class indices 0 .. n_classes - 1, and
//   non_ref_classes every other class index, once each, in ascending order;
// - beta_mean of shape (n_classes - 1, d_aug) with d_aug >= 1, beta_cov_chol of shape
//   (n_classes - 1, d_aug, d_aug), class_counts of shape (n_classes,);
// - the coefficients real numbers, every beta_cov_chol[j] lower triangular (it is a
//   Cholesky factor), and beta_mean floating point wherever its type is the working type.
// Each reader checks the entries it reads, after all its documented reads and checks, so
// the documented errors keep their order; entries are read as the record format reads
// them (integers as int64, the coefficients converted to the working type where they are
// computed with), so an entry held in another type that converts is read converted.
// A failed check raises ValueError, "inconsistent model record: ..." for entries that
// disagree, "invalid model record: ..." for coefficients that cannot be meant.
//
// kovani_io.validate_record holds a record to the same rule, and model files to more: the
// entries' exact types, and the limits of their values.
#pragma once

#include "kovani/jax.h"

namespace kovani::model {

// The class bookkeeping and the shapes of the coefficients. A traced row index is clamped
// by JAX rather than refused, so a record with more classes than rows would be updated or
// read wrongly without a word; a class without a row, or a row in another class's place,
// would leave its logits at 0 or put them in the wrong column. `non_ref` is the int64
// NumPy array read from the record.
void check_classes(long long n_classes, long long ref_class, nb::handle non_ref, nb::handle beta_mean,
                   nb::handle beta_cov_chol);

// The coefficients as read (arrays, or anything NumPy converts): real numbers (the
// imaginary part of a complex entry would be dropped, or carried into complex
// "probabilities"); with `floating_mean`, a floating-point beta_mean (an integer one would
// truncate the trials to integers where it sets the working type).
void check_coefficients(const Jax &j, nb::handle beta_mean, nb::handle beta_cov_chol, bool floating_mean);

// The factors zero above the diagonal, by one pass over their upper triangles (-0 counts
// as zero). It reads half the factors' bytes, so prediction, which otherwise need not read
// them on the host at all, runs it while its compiled core works.
void check_factors(const Jax &j, nb::handle beta_cov_chol);

// class_counts (an int64 NumPy array) holds one count per class: a shorter one would be
// broadcast into the batch's counts rather than refused.
void check_class_counts(nb::handle class_counts, long long n_classes);

}  // namespace kovani::model
