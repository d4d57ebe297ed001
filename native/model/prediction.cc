#include "model/prediction.h"

#include "model/host_arrays.h"
#include "model/logits.h"
#include "model/memory.h"
#include "model/reduced.h"
#include "model/working_type.h"

namespace kovani::model {

nb::object checked_trials(const Jax &j, nb::handle X, nb::handle num_posterior_samples) {
    nb::object Xn = j.np.attr("asarray")(X, nb::arg("dtype") = j.np.attr("float64"));
    if (nb::cast<long>(Xn.attr("ndim")) != 2)
        raise(PyExc_ValueError, "X must be 2D: (n_trials, n_features)");
    if (compare(num_posterior_samples, nb::int_(1), Py_LT))
        raise(PyExc_ValueError, "num_posterior_samples must be >= 1");
    return Xn;
}

void check_prediction_memory(const Jax &j, const char *what, const Posterior &p, nb::handle Xn, nb::handle S) {
    const double n = as_size(Xn.attr("shape")[0]), d_aug = as_size(p.beta_mean.attr("shape")[1]);
    const double K = (double) p.n_classes, samples = as_size(S);
    // The noise, then either the coefficient sets or the trials projected through every
    // factor (and their copy per class row), then the logits and probabilities.
    const double noise = samples * (K - 1.0) * d_aug;
    const double path = trials_first(n, samples) ? 2.0 * (K - 1.0) * n * d_aug : samples * (K - 1.0) * d_aug;
    const double bytes = item_size(j, p.beta_mean.attr("dtype")) * (noise + path + samples * 3.0 * n * K + n * d_aug);
    check_memory(what, bytes, "the coefficient samples, logits and probabilities");
}

namespace {

bool is_ndarray(const Jax &j, nb::handle value) {
    const int r = PyObject_IsInstance(value.ptr(), j.np.attr("ndarray").ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// Below this the transfer costs microseconds either way.
constexpr double kLargeFactors = 1 << 20;

}  // namespace

Placement prediction_placement(const Posterior &p, nb::handle Xn, nb::handle S) {
    const double n = as_size(Xn.attr("shape")[0]), d_aug = as_size(p.beta_mean.attr("shape")[1]);
    return place(n * as_size(S) * (double) (p.n_classes - 1) * d_aug, false, 0);
}

nb::object factors_for_core(const Jax &j, const Posterior &p, bool on_host) {
    nb::object L = p.beta_cov_chol, np = j.np;
    if (!is_ndarray(j, L) ||
        !(float32_or_float64(j, L) || truthy(np.attr("issubdtype")(L.attr("dtype"), np.attr("floating")))))
        return L;  // JAX's own conversion, or its refusal
    if (!on_host)
        return L;
    nb::object dtype = held_type(j, p.beta_mean.attr("dtype"));
    if (as_size(L.attr("size")) * item_size(j, dtype) < kLargeFactors)
        return L;
    return aligned(j, L, dtype, 0);
}

namespace {

// From here the host's product beats XLA's copy and product of the factors. One trial,
// 100 draws, float32: 0.028 against 0.060 ms at 128 KiB (2 rows, d_aug 128), 0.034
// against 0.064 ms at 256 KiB (1 row, 254); at 64 KiB (1 row, 128) XLA's is quicker, 0.019
// against 0.025 ms.
constexpr double kProjectFrom = 1 << 17;

}  // namespace

nb::object projected_on_host(const Jax &j, const Posterior &p, nb::handle Xn, nb::handle S, bool on_host) {
    nb::object L = p.beta_cov_chol;
    if (!on_host || !trials_first(as_size(Xn.attr("shape")[0]), as_size(S)) || !is_ndarray(j, L) ||
        !float32_or_float64(j, L) || !truthy(L.attr("dtype").attr("isnative")) || !is_ndarray(j, p.beta_mean) ||
        !float32_or_float64(j, p.beta_mean))
        return nb::none();  // JAX's conversion, or its refusal (of a swapped byte order, say)
    const long long d_aug = to_int64(Xn.attr("shape")[1]) + 1;
    nb::object shape = nb::make_tuple(p.n_classes - 1, d_aug, d_aug);
    if (!L.attr("shape").equal(shape) || !p.beta_mean.attr("shape").equal(nb::make_tuple(p.n_classes - 1, d_aug)))
        return nb::none();  // the core's own error
    nb::object dtype = j.np.attr("dtype")(held_type(j, p.beta_mean.attr("dtype")));
    if (as_size(L.attr("size")) * item_size(j, dtype) < kProjectFrom)
        return nb::none();
    // The trials and factors rounded to the working type as the core would round them.
    nb::object X_aug = j.np.attr("ones")(nb::make_tuple(Xn.attr("shape")[0], d_aug), nb::arg("dtype") = dtype);
    X_aug[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::slice(d_aug - 1))] = Xn;
    return whitened(j, X_aug, L.attr("astype")(dtype, nb::arg("copy") = false));
}

nb::object factors_unused(const Jax &j, const Posterior &p) {
    if (!is_ndarray(j, p.beta_cov_chol))
        return p.beta_cov_chol;
    return p.beta_cov_chol[nb::slice((Py_ssize_t) 0, (Py_ssize_t) 0, (Py_ssize_t) 1)];
}

std::vector<CoreParam> prediction_params(std::vector<CoreParam> statics) {
    for (CoreParam &p : statics)
        p.is_static = true;
    statics.insert(statics.end(), {{"n_classes", true}, {"ref_class", true}, {"non_ref", true}, {"S", true}, {"Xn"},
                                   {"beta_mean"}, {"beta_cov_chol"}, {"seed"}});
    return statics;
}

std::vector<CoreArg> prediction_args(std::vector<CoreArg> statics, const Posterior &p, nb::handle S, nb::handle Xn,
                                     nb::handle factors, nb::handle seed) {
    statics.insert(statics.end(), {{"n_classes", nb::int_(p.n_classes)},
                                   {"ref_class", nb::int_(p.ref_class)},
                                   {"non_ref", static_classes(p.non_ref)},
                                   {"S", nb::borrow(S)},
                                   {"Xn", nb::borrow(Xn)},
                                   {"beta_mean", p.beta_mean},
                                   {"beta_cov_chol", nb::borrow(factors)},
                                   {"seed", nb::borrow(seed)}});
    return statics;
}

Working in_working_type(const Jax &j, nb::handle Xn, nb::handle beta_mean, nb::handle beta_cov_chol) {
    nb::object mean = j.jnp.attr("asarray")(beta_mean);
    nb::object dtype = mean.attr("dtype");
    return {j.asarray(Xn, dtype), mean, j.asarray(beta_cov_chol, dtype)};
}

nb::object host_seed(const Jax &j, nb::handle rng_seed) { return j.np.attr("int64")(rng_seed); }

nb::object key_from_seed(const Jax &j, nb::handle seed) { return j.jax.attr("random").attr("PRNGKey")(seed); }

nb::object static_classes(nb::handle non_ref) {
    nb::object values = nb::steal(PySequence_Tuple(non_ref.attr("ravel")().attr("tolist")().ptr()));
    if (!values.is_valid())
        throw nb::python_error();
    return nb::make_tuple(non_ref.attr("shape"), values);
}

nb::object classes_array(const Jax &j, nb::handle key) {
    return j.np.attr("asarray")(key[1], nb::arg("dtype") = j.np.attr("int64")).attr("reshape")(key[0]);
}

}  // namespace kovani::model
