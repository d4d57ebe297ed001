// Online update: checks and record reads on the host, class growth in float64 NumPy,
// then the sweeps over the batch in a compiled core.
#include "learning.h"
#include "reduced.h"
#include "training.h"

#include "kovani/checks.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

namespace kovani::learning {
namespace {

enum UpdateArg { MODEL, X, Y };

// ---------------------------------------------------------------- record reads
//
// Every read fetches `model.params` anew and indexes it, so a missing key fails with the
// mapping's own KeyError at the read that needs it.

nb::object entry(nb::handle model, const char *key) { return model.attr("params")[key]; }

long long read_int(const Jax &j, nb::handle model, const char *key) {
    return to_int64(j.np.attr("asarray")(entry(model, key), nb::arg("dtype") = j.np.attr("int64")));
}

double read_float(const Jax &j, nb::handle model, const char *key) {
    nb::object v = j.np.attr("asarray")(entry(model, key), nb::arg("dtype") = j.np.attr("float64"));
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

// An added class starts at the stored hyper-prior; a non-finite or non-positive scale
// there would give rows of NaN or inf that look like a successful update.
void check_prior_for_growth(double w_loc, double w_scale, double b_loc, double b_scale) {
    auto refuse = [](const char *key, const char *what, double value) {
        std::string message = std::string("cannot add classes: the record's ") + key + " must be " +
                              what + " (got " + nb::repr(nb::float_(value)).c_str() + ")";
        raise(PyExc_ValueError, message.c_str());
    };
    if (!std::isfinite(w_loc))
        refuse("w_loc", "finite", w_loc);
    if (!(std::isfinite(w_scale) && w_scale > 0))
        refuse("w_scale", "finite and > 0", w_scale);
    if (!std::isfinite(b_loc))
        refuse("b_loc", "finite", b_loc);
    if (!(std::isfinite(b_scale) && b_scale > 0))
        refuse("b_scale", "finite and > 0", b_scale);
}

// ---------------------------------------------------------------- batch padding
//
// The core is compiled per shape, and online batches differ in size from call to call. The
// batch is therefore padded to a bucket size with all-zero rows, the intercept column
// included, labelled -1. Such a row adds nothing to a class step: its Gram term x x^T and
// its right-hand-side term x (kappa + omega * offset) are exactly zero. Its logits are 0,
// so while the state is finite its offset (log K') and its omega are finite as well, and
// its label matches no class, so its target is 0. (A non-finite state makes the unpadded
// result non-finite already.)
//
// Buckets: 16, 32, 64, then multiples of an eighth of the next power of two (80, 96, 112,
// 128, 160, ...). A live loop with 1 to 64 trials per batch needs three executables, and
// beyond 64 trials the padding adds less than a quarter of the batch.
long long padded_rows(long long n) {
    if (n <= 16)
        return 16;
    long long p = 32;
    while (p < n)
        p *= 2;
    if (p <= 64)
        return p;
    long long step = p / 8;
    return (n + step - 1) / step * step;
}

// ---------------------------------------------------------------- the record as read

// What the update reads of the record, in its working type, after the checks; class growth
// then appends rows and counts.
struct Record {
    long long label_base, old_n_classes, new_n_classes, ref_class, num_steps;
    double w_loc, w_scale, b_loc, b_scale, alpha;
    nb::object y0;       // the batch's 0-based class indices, int64
    nb::object non_ref;  // int64 NumPy array, a copy: never shared with the old record
    nb::object dtype, np_dtype;
    nb::object beta_mean, beta_cov_chol;  // NumPy arrays of the working type
    nb::object class_counts;              // int64
};

// Steps 5-17: the reads in their order, interleaved with the documented checks, then the
// checks of our own (entries that disagree, memory).
Record read_record(Function &self, const Jax &j, nb::handle model, const Trials &trials) {
    nb::object np = j.np, int64 = np.attr("int64");
    Record r;
    r.label_base = read_int(j, model, "label_base");
    r.y0 = trials.yn.attr("astype")(int64) - nb::int_(r.label_base);
    if (less_than(r.y0.attr("min")(), 0))
        raise(PyExc_ValueError, "y out of range for label_base");
    r.old_n_classes = read_int(j, model, "n_classes");
    const long long top = to_int64(r.y0.attr("max")());
    // (Saturated: an absurd label then fails in NumPy's allocation, not in an overflow.)
    r.new_n_classes = top < r.old_n_classes ? r.old_n_classes : top + (top < std::numeric_limits<long long>::max());
    r.ref_class = read_int(j, model, "ref_class");
    r.non_ref = np.attr("array")(entry(model, "non_ref_classes"), nb::arg("dtype") = int64);
    r.w_loc = read_float(j, model, "w_loc");
    r.w_scale = read_float(j, model, "w_scale");
    r.b_loc = read_float(j, model, "b_loc");
    r.b_scale = read_float(j, model, "b_scale");
    r.alpha = read_float(j, model, "learning_rate");
    r.num_steps = read_int(j, model, "num_steps");
    if (!(r.alpha > 0 && r.alpha <= 1))
        raise(PyExc_ValueError, "learning_rate must be in (0, 1]");
    if (r.num_steps < 1)
        raise(PyExc_ValueError, "num_steps must be >= 1");

    // The working type; the stored posterior converted to it (a float64 record is narrowed
    // when the 64-bit mode is off, a float32 one widened when it is on).
    r.dtype = global(self, "_jax_dtype_from_numpy")(trials.Xn);
    r.np_dtype = np.attr("dtype")(r.dtype);
    nb::object stored_mean = entry(model, "beta_mean");
    r.beta_mean = np.attr("asarray")(stored_mean, nb::arg("dtype") = r.np_dtype);
    nb::object stored_chol = entry(model, "beta_cov_chol");
    r.beta_cov_chol = np.attr("asarray")(stored_chol, nb::arg("dtype") = r.np_dtype);
    r.class_counts = np.attr("asarray")(entry(model, "class_counts"), nb::arg("dtype") = int64);

    // Beyond the documented checks: the record's entries must agree with one another.
    check_record(r.old_n_classes, r.ref_class, r.non_ref, r.beta_mean, r.beta_cov_chol);
    check_record_types(j, stored_mean, stored_chol, false);
    // A shorter class_counts would be broadcast into the batch's counts, not refused.
    nb::object counts_shape = r.class_counts.attr("shape");
    if (nb::len(counts_shape) != 1 || !counts_shape[0].equal(nb::int_(r.old_n_classes)))
        raise(PyExc_ValueError, ("inconsistent model record: class_counts of shape " +
                                 std::string(nb::repr(counts_shape).c_str()) +
                                 ", expected (n_classes,) with n_classes " + std::to_string(r.old_n_classes))
                                    .c_str());
    nb::object shape = trials.Xn.attr("shape");
    check_core_memory("update", r.new_n_classes - 1, to_int64(shape[1]) + 1, padded_rows(to_int64(shape[0])),
                      to_int64(r.np_dtype.attr("itemsize")));
    return r;
}

// Steps 18-20: every index below the new class count that is neither the reference nor
// has a row gets one, appended in ascending order, at the hyper-prior; class_counts grows
// to the new count.
void grow_classes(const Jax &j, Record &r, long long F) {
    if (r.new_n_classes <= r.old_n_classes)
        return;
    nb::object np = j.np, int64 = np.attr("int64");
    nb::object present = np.attr("append")(r.non_ref, r.ref_class);
    nb::object add = np.attr("setdiff1d")(np.attr("arange")(r.new_n_classes, nb::arg("dtype") = int64), present);
    const size_t n_add = nb::len(add);
    if (n_add > 0) {
        check_prior_for_growth(r.w_loc, r.w_scale, r.b_loc, r.b_scale);
        nb::object float64 = np.attr("float64");
        r.non_ref = np.attr("concatenate")(nb::make_tuple(r.non_ref, add)).attr("astype")(int64);
        auto features_then_intercept = [&](double w, double b) {
            return np.attr("concatenate")(nb::make_tuple(np.attr("full")(F, w, nb::arg("dtype") = float64),
                                                         np.attr("full")(1, b, nb::arg("dtype") = float64)));
        };
        // The hyper-prior, on the host in float64: the covariance is the inverse of the
        // precision, solved through the precision's factor, and is stored as a factor.
        nb::object m_prior = features_then_intercept(r.w_loc, r.b_loc);
        nb::object prec0_np = np.attr("diag")(
            features_then_intercept(1.0 / (r.w_scale * r.w_scale), 1.0 / (r.b_scale * r.b_scale)));
        nb::object linalg = np.attr("linalg");
        nb::object L0 = linalg.attr("cholesky")(prec0_np);
        nb::object A = linalg.attr("solve")(L0, np.attr("eye")(F + 1, nb::arg("dtype") = float64));
        nb::object S0 = linalg.attr("solve")(L0.attr("T"), A);
        nb::object chol0 = linalg.attr("cholesky")(S0);
        nb::object reps = nb::int_(n_add);
        r.beta_mean = np.attr("concatenate")(nb::make_tuple(
            r.beta_mean, np.attr("tile")(m_prior.attr("astype")(r.np_dtype), nb::make_tuple(reps, 1))));
        r.beta_cov_chol = np.attr("concatenate")(nb::make_tuple(
            r.beta_cov_chol, np.attr("tile")(chol0.attr("astype")(r.np_dtype), nb::make_tuple(reps, 1, 1))));
    }
    const long long stored = (long long) nb::len(r.class_counts);
    if (r.new_n_classes > stored)
        r.class_counts = np.attr("concatenate")(nb::make_tuple(
            r.class_counts, np.attr("zeros")(r.new_n_classes - stored, nb::arg("dtype") = int64)));
}

// ---------------------------------------------------------------- the padded batch

struct Batch {
    nb::object X_aug, yj;  // (rows, d_aug) in the working type, (rows,) int32 labelled -1 beyond n
    long long rows, d_aug;
};

Batch pad_batch(const Jax &j, const Trials &trials, const Record &r) {
    nb::object np = j.np;
    const long long n = to_int64(trials.Xn.attr("shape")[0]), F = to_int64(trials.Xn.attr("shape")[1]);
    Batch b{{}, {}, padded_rows(n), F + 1};
    nb::object head = nb::slice(n);  // the batch's own rows
    b.X_aug = np.attr("zeros")(nb::make_tuple(b.rows, b.d_aug), nb::arg("dtype") = r.np_dtype);
    b.X_aug[nb::make_tuple(head, nb::slice(F))] = trials.Xn;
    b.X_aug[nb::make_tuple(head, nb::int_(F))] = nb::int_(1);
    b.yj = np.attr("full")(b.rows, -1, nb::arg("dtype") = np.attr("int32"));
    b.yj[head] = r.y0;
    return b;
}

// ---------------------------------------------------------------- the numeric cores

// What both cores share: the arrays in the working type and the loop constants.
struct UpdateState {
    nb::object dtype, X_aug, yj, non_ref_j, beta_mean, alpha, one_s, ref0;
};

UpdateState update_state(const Jax &j, const CoreArgs &a) {
    nb::object jnp = j.jnp, dtype = a["dtype"];
    auto in_type = [&](nb::handle v) { return jnp.attr("asarray")(v, nb::arg("dtype") = dtype); };
    nb::object X_aug = in_type(a["X_aug"]);
    nb::object n = X_aug.attr("shape")[0];
    return {dtype,
            X_aug,
            a["yj"],
            a["non_ref_j"],
            in_type(a["beta_mean"]),
            in_type(a["alpha"]),
            in_type(nb::int_(1)),
            jnp.attr("zeros")(nb::make_tuple(n, 1), nb::arg("dtype") = dtype)};
}

// A class step of the update, on whatever design it is given: the row's running estimate
// (mean m0 and factor Lcov) is the prior and the current approximation alike; the damped
// covariance is refactorised. Returns (new mean, new factor).
nb::object running_step(const Jax &j, nb::handle pg_update, const UpdateState &u, nb::handle design,
                        const ClassTarget &t, nb::handle m0, nb::handle Lcov) {
    nb::object cho_solve = j.jax.attr("scipy").attr("linalg").attr("cho_solve");
    nb::object S0 = j.matmul(Lcov, j.jnp.attr("swapaxes")(Lcov, -1, -2));
    nb::object eye = j.jnp.attr("eye")(nb::borrow(Lcov).attr("shape")[0], nb::arg("dtype") = u.dtype);
    nb::object prec0 = cho_solve(nb::make_tuple(Lcov, true), eye);
    nb::object step = pg_update(design, t.z, t.offset, m0, prec0, m0, S0);
    nb::object m_new = damp(u.one_s, u.alpha, m0, step[0]);
    nb::object S_i = damp(u.one_s, u.alpha, S0, step[1]);
    return nb::make_tuple(m_new, j.jnp.attr("linalg").attr("cholesky")(S_i));
}

// The general core, the maths as the record's d-dimensional posterior sees it, through
// the module's kernels as they are now (a caller's replacement included):
//   returns (beta_mean, beta_cov_chol) after num_steps sweeps over the batch.
nb::object general_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    UpdateState u = update_state(j, a);
    nb::object pg_update = a["pg_update"];
    nb::object beta_cov_chol = j.jnp.attr("asarray")(a["beta_cov_chol"], nb::arg("dtype") = u.dtype);
    nb::object update_one = closure(self, "update_one", {"i", "st"}, [j, u, pg_update](Function &, Args &s) {
        nb::object i = s[0], beta_mean = s[1][0], beta_cov_chol = s[1][1];
        nb::object eta = j.matmul(u.X_aug, beta_mean.attr("T"));
        ClassTarget t = class_target(j, eta, u.ref0, u.one_s, u.yj, u.non_ref_j, i);
        nb::object step = running_step(j, pg_update, u, u.X_aug, t, beta_mean[i], beta_cov_chol[i]);
        return nb::object(nb::make_tuple(Jax::set_at(beta_mean, i, step[0]), Jax::set_at(beta_cov_chol, i, step[1])));
    });
    return sweeps(self, j, a["num_steps"], u.beta_mean.attr("shape")[0], nb::make_tuple(u.beta_mean, beta_cov_chol),
                  update_one);
}
// pg_omega is part of the cache key only: the kernel looks it up while it is traced.
const Core general_update = {"_update_core",
                             {{"pg_update", true},
                              {"pg_omega", true},
                              {"dtype", true},
                              {"num_steps", true},
                              {"X_aug"},
                              {"yj"},
                              {"non_ref_j"},
                              {"beta_mean"},
                              {"beta_cov_chol"},
                              {"alpha"}},
                             general_core};

// The same sweeps for a batch of fewer trials than coefficients, in the batch's own
// n-dimensional space (reduced.h): class steps of O(n^3). Takes the whitened trials
// V = X L0 (made on the host) and returns, per row, v = Q mu (rows, d) and the directions
// that carry the stored factors through the batch (on the host again). Taken only while
// the module's own kernels are in place.
nb::object reduced_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    UpdateState u = update_state(j, a);
    Reduced r = reduce(j, jnp.attr("asarray")(a["V"], nb::arg("dtype") = u.dtype));
    nb::object Xm0 = j.matmul(u.X_aug, u.beta_mean.attr("T"));  // (n, rows)
    nb::object rows = u.beta_mean.attr("shape")[0], n = u.X_aug.attr("shape")[0];
    nb::object pg_update = global(self, "_pg_binary_update");

    // Every row starts at theta ~ N(0, I_n): its mean and the factor of its covariance.
    nb::object mu = jnp.attr("zeros")(nb::make_tuple(rows, n), nb::arg("dtype") = u.dtype);
    nb::object C = jnp.attr("tile")(jnp.attr("eye")(n, nb::arg("dtype") = u.dtype), nb::make_tuple(rows, 1, 1));
    nb::object update_one = closure(self, "update_one", {"i", "st"}, [j, u, r, Xm0, pg_update](Function &, Args &s) {
        nb::object i = s[0], mu = s[1][0], C = s[1][1];
        nb::object eta = Xm0 + j.jnp.attr("einsum")("rnk,rk->nr", r.design, mu);
        ClassTarget t = class_target(j, eta, u.ref0, u.one_s, u.yj, u.non_ref_j, i);
        t.offset = t.offset - Xm0[nb::make_tuple(all(), i)];
        nb::object step = running_step(j, pg_update, u, r.design[i], t, mu[i], C[i]);
        return nb::object(nb::make_tuple(Jax::set_at(mu, i, step[0]), Jax::set_at(C, i, step[1])));
    });
    nb::object final_state = sweeps(self, j, a["num_steps"], rows, nb::make_tuple(mu, C), update_one);
    nb::object v = jnp.attr("einsum")("rdn,rn->rd", r.Q, final_state[0]);
    Directions dir = directions_from_factor(j, r.Q, final_state[1]);
    return nb::make_tuple(v, dir.U, dir.s);
}
const Core reduced_update = {"_update_reduced_core",
                             {{"dtype", true},
                              {"num_steps", true},
                              {"V"},
                              {"X_aug"},
                              {"yj"},
                              {"non_ref_j"},
                              {"beta_mean"},
                              {"alpha"}},
                             reduced_core};

// Whether a padded batch of `rows` trials is cheaper in its own space than in the
// coefficients' (measured on a 2-core CPU, K = 4, 10 sweeps: 16 rows pay from 33
// coefficients on, 64 rows from 129, not at 17 or 65).
bool reduced_pays(long long rows, long long d_aug) { return 2 * rows <= d_aug; }

// Steps 22-24: the sweeps, in the reduced core where that pays and the kernels are the
// module's own, otherwise in the general one. Returns (beta_mean, beta_cov_chol) as NumPy
// arrays. The reduced path takes the stored factors to be lower-triangular, as every
// record this module writes has them; the general one uses whatever matrix is stored as a
// square root of the covariance.
std::pair<nb::object, nb::object> run_sweeps(Function &self, const Jax &j, const Record &r, const Batch &b) {
    nb::object non_ref_j = r.non_ref.attr("astype")(j.np.attr("int32"));
    nb::object num_steps = nb::int_(r.num_steps), alpha = nb::float_(r.alpha);
    if (reduced_pays(b.rows, b.d_aug) && own_kernels(self) && lower_triangular(j, r.beta_cov_chol)) {
        nb::object V = whitened(j, b.X_aug, r.beta_cov_chol);
        nb::object out = call_core(self, reduced_update,
                                   {{"dtype", r.dtype}, {"num_steps", num_steps}, {"V", V}, {"X_aug", b.X_aug},
                                    {"yj", b.yj}, {"non_ref_j", non_ref_j}, {"beta_mean", r.beta_mean},
                                    {"alpha", alpha}});
        nb::object np = j.np;
        return {lifted_means(j, r.beta_mean, r.beta_cov_chol, np.attr("asarray")(out[0])),
                lifted_factors(j, r.beta_cov_chol, Directions{np.attr("asarray")(out[1]), np.attr("asarray")(out[2])})};
    }
    nb::object out = call_core(self, general_update,
                               {{"pg_update", global(self, "_pg_binary_update")},
                                {"pg_omega", global(self, "_pg_expected_omega")},
                                {"dtype", r.dtype},
                                {"num_steps", num_steps},
                                {"X_aug", b.X_aug},
                                {"yj", b.yj},
                                {"non_ref_j", non_ref_j},
                                {"beta_mean", r.beta_mean},
                                {"beta_cov_chol", aligned(j, r.beta_cov_chol)},
                                {"alpha", alpha}});
    return {host_copy(j, out[0]), host_copy(j, out[1])};
}

// ---------------------------------------------------------------- the new record

// Steps 25-27: a shallow copy of the record with six entries replaced; the old one is
// untouched.
nb::object new_record(Function &self, const Jax &j, nb::handle model, const Record &r, nb::handle new_counts,
                      nb::handle beta_mean, nb::handle beta_cov_chol) {
    nb::object old_params = model.attr("params");
    nb::object params = PyDict_Check(old_params.ptr()) ? nb::steal(PyDict_Copy(old_params.ptr()))
                                                       : nb::handle((PyObject *) &PyDict_Type)(old_params);
    if (!params.is_valid())
        throw nb::python_error();
    params["backend"] = backend_tag(j);
    params["n_classes"] = int64_scalar(j, nb::int_(r.new_n_classes));
    params["non_ref_classes"] = r.non_ref;
    params["beta_mean"] = beta_mean;
    params["beta_cov_chol"] = beta_cov_chol;
    params["class_counts"] = new_counts;
    return make_model(self, params);
}

// ---------------------------------------------------------------- the entry point

nb::object update(Function &self, Args &a) {
    Jax j(self);
    Trials trials = convert_trials(j, a[X], a[Y]);                     // 1-4
    Record r = read_record(self, j, a[MODEL], trials);                 // 5-17
    grow_classes(j, r, to_int64(trials.Xn.attr("shape")[1]));          // 18-20
    nb::object new_counts =                                            // 21
        r.class_counts +
        j.np.attr("bincount")(r.y0, nb::arg("minlength") = r.new_n_classes).attr("astype")(j.np.attr("int64"));
    Batch b = pad_batch(j, trials, r);
    auto [beta_mean, beta_cov_chol] = run_sweeps(self, j, r, b);      // 22-24
    check_finite_result(j, "update", beta_mean, beta_cov_chol, r.dtype);
    return new_record(self, j, a[MODEL], r, new_counts, beta_mean, beta_cov_chol);  // 25-27
}

}  // namespace

Declaration softmax_update() {
    return {"kovani_softmax_update",
            {{"model", "KovaniModel"}, {"X", "np.ndarray"}, {"y", "np.ndarray"}},
            "KovaniModel",
            "Update a softmax model with additional labeled observations.",
            update};
}

}  // namespace kovani::learning
