// The model record: the `params` dictionary of a KovaniModel, the one contract between the
// modules. Its 15 entries and their order; the record a fit builds, the one an update
// builds from an old one (a shallow copy with six entries replaced, classes grown at the
// hyper-prior); and the readers that both updates and prediction use.
#pragma once

#include "kovani/jax.h"
#include "model/design.h"
#include "model/prior.h"

#include <array>

namespace kovani::model {

inline constexpr const char *kModelType = "kovani_softmax";
// Tags the estimator: Polya-Gamma updates, softmax with a reference class.
inline constexpr const char *kBackend = "pg_softmax_ref";
// The entries, in the order the fit writes them.
inline constexpr std::array<const char *, 15> kKeys = {
    "backend", "n_classes", "label_base", "ref_class", "non_ref_classes", "beta_mean", "beta_cov_chol", "w_loc",
    "w_scale", "b_loc",   "b_scale",    "rng_seed",  "learning_rate",   "num_steps", "class_counts"};
// The entries an update replaces in its copy, in the order it sets them.
inline constexpr std::array<const char *, 6> kUpdatedKeys = {"backend",   "n_classes",     "non_ref_classes",
                                                             "beta_mean", "beta_cov_chol", "class_counts"};

// ---------------------------------------------------------------- readers
//
// Readers index the record by key and convert what they read: a missing key fails with
// the mapping's own KeyError at the read that needs it, a value that does not convert with
// NumPy's error. There are no defaults.

class Reader {
  public:
    // Every read fetches `model.params` anew, as the updates read.
    static Reader of_model(nb::handle model) { return Reader(model, true); }
    // Every read indexes `params`, fetched once by the caller, as prediction reads.
    static Reader of_params(nb::handle params) { return Reader(params, false); }

    nb::object entry(const char *key) const;
    // An integer scalar read as an int64 array, then a host integer.
    long long read_int(const Jax &j, const char *key) const;
    // A float scalar read as a float64 array, then a host double.
    double read_float(const Jax &j, const char *key) const;
    // Class indices as a new int64 NumPy array, never shared with the record.
    nb::object read_indices(const Jax &j, const char *key) const;

  private:
    Reader(nb::handle source, bool of_model) : source_(source), of_model_(of_model) {}
    nb::handle source_;
    bool of_model_;
};

// What both updates read before the posterior, in their order (label_base, n_classes,
// ref_class, non_ref_classes, w_loc, w_scale, b_loc, b_scale, learning_rate, num_steps),
// with the documented checks where what they need has been read: "y out of range for
// label_base" after label_base; "learning_rate must be in (0, 1]" and "num_steps must be
// >= 1" after every scalar. Labels at or above n_classes are no error: they add classes.
struct UpdateSettings {
    long long label_base, old_n_classes, new_n_classes, ref_class, num_steps;
    HyperPrior prior;
    double alpha;
    nb::object y0;       // the batch's 0-based class indices, int64
    nb::object non_ref;  // a new int64 NumPy array; grows with the classes
};
UpdateSettings read_update_settings(const Jax &j, const Reader &record, const Trials &trials);

// Then the stored posterior, in the NumPy type `np_dtype` of the working type (a float64
// record is narrowed in 32-bit mode, a float32 one widened in 64-bit mode), and the counts
// as int64; checked by the record rule (record_rule.h), class counts included.
struct UpdateRows {
    nb::object beta_mean, beta_cov_chol, class_counts;
};
UpdateRows read_update_rows(const Jax &j, const Reader &record, const UpdateSettings &s, nb::handle np_dtype);

// Class growth: every class index from the old class count up to the new one gets a row,
// appended in ascending order at the hyper-prior (which must be usable then), and a count
// of 0. The record rule makes these exactly the indices without a row.
void grow_classes(const Jax &j, UpdateSettings &s, UpdateRows &rows, long long n_features);

// The counts after the batch: the (grown) class_counts plus the batch's count per class.
nb::object counts_after(const Jax &j, const UpdateSettings &s, const UpdateRows &rows);

// What prediction reads, in its order (n_classes, ref_class, non_ref_classes, beta_mean,
// beta_cov_chol), checked by the record rule with a floating-point beta_mean (its type is
// the working type) -- all but the factors' upper triangles, which the caller checks
// (record_rule.h: check_factors) while its compiled core works. The coefficient arrays are kept as stored when they are NumPy or JAX
// arrays (jit moves them to the device, canonicalising the element type exactly as
// jnp.asarray would); anything else is made a JAX array here.
struct Posterior {
    long long n_classes, ref_class;
    nb::object non_ref;  // int64 NumPy array
    nb::object beta_mean, beta_cov_chol;
};
Posterior read_posterior(const Jax &j, const Reader &record);

// ---------------------------------------------------------------- writers

// The record's value types: 0-d int64, 0-d float64, the backend tag (a 0-d object array
// holding the string).
nb::object int64_scalar(const Jax &j, nb::handle value);
nb::object float64_scalar(const Jax &j, nb::handle value);
nb::object backend_tag(const Jax &j);

// The fit's new record, every entry a NumPy array, in the order of kKeys. The settings
// are the fit's converted arguments, stored as given.
struct FitEntries {
    long long n_classes, ref_class;
    nb::object label_base, w_loc, w_scale, b_loc, b_scale, rng_seed, learning_rate, num_steps;
    nb::object non_ref, beta_mean, beta_cov_chol, class_counts;
};
nb::object fit_record(Function &self, const Jax &j, const FitEntries &e);

// The update's record: a shallow copy of `model.params` as a plain dict (the old one left
// as it was), with the entries of kUpdatedKeys set in their order; an entry the old record
// lacks (backend, which no update reads) goes at the end.
nb::object updated_record(Function &self, const Jax &j, nb::handle model, long long n_classes, nb::handle non_ref,
                          nb::handle beta_mean, nb::handle beta_cov_chol, nb::handle class_counts);

}  // namespace kovani::model
