#include "prediction.h"

#include "kovani/checks.h"

#include <algorithm>
#include <string>

namespace kovani::inference {
nb::object checked_trials(const Jax &j, nb::handle X, nb::handle num_posterior_samples) {
    nb::object Xn = j.np.attr("asarray")(X, nb::arg("dtype") = j.np.attr("float64"));
    if (nb::cast<long>(Xn.attr("ndim")) != 2)
        raise(PyExc_ValueError, "X must be 2D: (n_trials, n_features)");
    if (compare(num_posterior_samples, nb::int_(1), Py_LT))
        raise(PyExc_ValueError, "num_posterior_samples must be >= 1");
    return Xn;
}

nb::object read_int(const Jax &j, nb::handle params, const char *key) {
    nb::object value = params[key];
    nb::object array = j.np.attr("asarray")(value, nb::arg("dtype") = j.np.attr("int64"));
    nb::object as_int = nb::steal(PyNumber_Long(array.ptr()));
    if (!as_int.is_valid())
        throw nb::python_error();
    return as_int;
}

namespace {

bool instance_of(nb::handle value, nb::handle type) {
    int r = PyObject_IsInstance(value.ptr(), type.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// NumPy and JAX arrays pass as they are; jit canonicalises them on the way in.
nb::object as_array(const Jax &j, nb::handle value) {
    if (instance_of(value, j.np.attr("ndarray")) || instance_of(value, j.jax.attr("Array")))
        return nb::borrow(value);
    return j.jnp.attr("asarray")(value);
}

}  // namespace

Posterior read_posterior(const Jax &j, nb::handle params) {
    Posterior p;
    p.n_classes = to_int64(read_int(j, params, "n_classes"));
    p.ref_class = to_int64(read_int(j, params, "ref_class"));
    nb::object non_ref = params["non_ref_classes"];
    p.non_ref = j.np.attr("asarray")(non_ref, nb::arg("dtype") = j.np.attr("int64"));
    nb::object beta_mean = params["beta_mean"];
    p.beta_mean = as_array(j, beta_mean);
    nb::object beta_cov_chol = params["beta_cov_chol"];
    p.beta_cov_chol = as_array(j, beta_cov_chol);
    // After every read: the documented errors (missing keys, conversions) keep their order.
    check_record(p.n_classes, p.ref_class, p.non_ref, p.beta_mean, p.beta_cov_chol);
    check_record_types(j, p.beta_mean, p.beta_cov_chol, true);
    return p;
}

bool trials_first(double n, double S) { return 2.0 * n <= S; }

void check_prediction_memory(const Jax &j, const char *what, const Posterior &p, nb::handle Xn, nb::handle S) {
    // float32 at most: jit narrows float64 when the 64-bit mode is off.
    nb::object stored = j.np.attr("dtype")(p.beta_mean.attr("dtype"));
    const double itemsize = std::min(4.0, as_size(stored.attr("itemsize")));
    const double n = as_size(Xn.attr("shape")[0]), d_aug = as_size(p.beta_mean.attr("shape")[1]);
    const double K = (double) p.n_classes, samples = as_size(S);
    // The noise, then either the coefficient sets or the trials projected through every
    // factor (and their copy per class row), then the logits and probabilities.
    const double noise = samples * (K - 1.0) * d_aug;
    const double path = trials_first(n, samples) ? 2.0 * (K - 1.0) * n * d_aug : samples * (K - 1.0) * d_aug;
    const double bytes = itemsize * (noise + path + samples * 3.0 * n * K + n * d_aug);
    check_memory(what, bytes, "the coefficient samples, logits and probabilities");
}

namespace {

// XLA's CPU client shares a NumPy argument's memory from this alignment on.
constexpr long long device_alignment = 64;
// Below this the transfer costs microseconds either way.
constexpr double large_factors = 1 << 20;

// A C-ordered copy of `array` in `dtype` whose data starts on the device alignment.
nb::object aligned_copy(const Jax &j, nb::handle array, nb::handle dtype, long long bytes) {
    nb::object buffer = j.np.attr("empty")(bytes + device_alignment, nb::arg("dtype") = j.np.attr("uint8"));
    const long long address = to_int64(buffer.attr("ctypes").attr("data"));
    const Py_ssize_t start = (Py_ssize_t) ((device_alignment - address % device_alignment) % device_alignment);
    nb::object aligned = buffer[nb::slice(start, start + (Py_ssize_t) bytes, (Py_ssize_t) 1)];
    aligned = aligned.attr("view")(dtype).attr("reshape")(array.attr("shape"));
    j.np.attr("copyto")(aligned, array);
    return aligned;
}

}  // namespace

nb::object factors_for_core(const Jax &j, const Posterior &p) {
    nb::object L = p.beta_cov_chol, np = j.np;
    if (!instance_of(L, np.attr("ndarray")))
        return L;
    if (!nb::cast<bool>(np.attr("issubdtype")(L.attr("dtype"), np.attr("floating"))))
        return L;  // JAX's own conversion, or its refusal, as before
    nb::object canonical = j.jax.attr("dtypes").attr("canonicalize_dtype")(p.beta_mean.attr("dtype"));
    nb::object dtype = np.attr("dtype")(canonical);
    // The factors exist in memory already, so their size in the working type fits.
    const double bytes = as_size(L.attr("size")) * as_size(dtype.attr("itemsize"));
    if (bytes < large_factors || !j.jax.attr("default_backend")().equal(nb::str("cpu")))
        return L;
    const bool ready = L.attr("dtype").equal(dtype) && nb::cast<bool>(L.attr("flags").attr("c_contiguous")) &&
                       to_int64(L.attr("ctypes").attr("data")) % device_alignment == 0;
    return ready ? L : aligned_copy(j, L, dtype, (long long) bytes);
}

nb::object factors_unused(const Jax &j, const Posterior &p) {
    if (!instance_of(p.beta_cov_chol, j.np.attr("ndarray")))
        return p.beta_cov_chol;
    return p.beta_cov_chol[nb::slice((Py_ssize_t) 0, (Py_ssize_t) 0, (Py_ssize_t) 1)];
}

void check_finite_probabilities(nb::handle all_finite, nb::handle dtype) {
    int ok = PyObject_IsTrue(all_finite.ptr());
    if (ok < 0)
        throw nb::python_error();
    if (ok)
        return;
    raise(PyExc_ValueError, (std::string("prediction produced non-finite class probabilities: X or the "
                                         "model's coefficients hold NaN or infinity, or the logits overflow "
                                         "the working type ") +
                             nb::str(dtype).c_str())
                                .c_str());
}

Working in_working_type(const Jax &j, nb::handle Xn, nb::handle beta_mean, nb::handle beta_cov_chol) {
    nb::object asarray = j.jnp.attr("asarray");
    nb::object mean = asarray(beta_mean);
    nb::object dtype = mean.attr("dtype");
    return {asarray(Xn, nb::arg("dtype") = dtype), mean, asarray(beta_cov_chol, nb::arg("dtype") = dtype)};
}

nb::object host_seed(const Jax &j, nb::handle rng_seed) { return j.np.attr("int64")(rng_seed); }

nb::object key_from_seed(const Jax &j, nb::handle seed) {
    return j.jax.attr("random").attr("PRNGKey")(seed);
}

nb::object static_classes(nb::handle non_ref) {
    nb::object values = nb::steal(PySequence_Tuple(non_ref.attr("ravel")().attr("tolist")().ptr()));
    if (!values.is_valid())
        throw nb::python_error();
    return nb::make_tuple(non_ref.attr("shape"), values);
}

nb::object classes_array(const Jax &j, nb::handle key) {
    return j.np.attr("asarray")(key[1], nb::arg("dtype") = j.np.attr("int64")).attr("reshape")(key[0]);
}

namespace {

// One contracted and one batch axis on each side; the result has the batch axis first,
// then the free axes of `a`, then those of `b`.
nb::object batched_dot(const Jax &j, nb::handle a, int a_contract, int a_batch, nb::handle b, int b_contract,
                       int b_batch) {
    auto axes = [](int x, int y) { return nb::make_tuple(nb::make_tuple(x), nb::make_tuple(y)); };
    return j.lax().attr("dot_general")(a, b, nb::make_tuple(axes(a_contract, b_contract), axes(a_batch, b_batch)));
}

}  // namespace

nb::object sampled_logits(const Jax &j, nb::handle key, nb::handle S, nb::handle Xj,
                          nb::handle beta_mean, nb::handle beta_cov_chol, nb::handle non_ref,
                          long long ref_class, long long n_classes) {
    nb::object jnp = j.jnp, einsum = jnp.attr("einsum");
    nb::object dtype = beta_mean.attr("dtype"), xtype = Xj.attr("dtype");
    nb::object n = Xj.attr("shape")[0], d_aug = beta_mean.attr("shape")[1];
    const long long rows = n_classes - 1;

    // 1. Standard-normal noise, one vector per sample and class row: the same draws
    //    whichever way step 2 goes.
    nb::object eps = j.jax.attr("random").attr("normal")(
        key, nb::arg("shape") = nb::make_tuple(S, rows, d_aug), nb::arg("dtype") = dtype);
    nb::object ones = jnp.attr("ones")(nb::make_tuple(n, 1), nb::arg("dtype") = xtype);
    nb::object X_aug = jnp.attr("concatenate")(nb::make_tuple(Xj, ones), nb::arg("axis") = 1);
    // 2. Scores of every sampled class row for every trial, as (S, n, K-1):
    //    x_aug . beta_s[s, k] with beta_s[s, k] = beta_mean[k] + L_k eps[s, k], which
    //    is N(beta_mean[k], L_k L_k^T).
    nb::object scores;
    if (trials_first(as_size(n), as_size(S))) {
        //    Through the trials: x_aug . beta_mean[k] + (L_k^T x_aug) . eps[s, k].
        //    Both products batch over the class rows; contracting L_k's row index
        //    without that batch makes XLA transpose every factor first.
        nb::object X_rows = jnp.attr("broadcast_to")(X_aug, nb::make_tuple(rows, n, d_aug));
        nb::object projected = batched_dot(j, X_rows, 2, 0, beta_cov_chol, 1, 0);  // (K-1, n, d_aug)
        nb::object noise = batched_dot(j, eps, 2, 1, projected, 2, 0);            // (K-1, S, n)
        nb::object at_mean = j.matmul(X_aug, jnp.attr("transpose")(beta_mean));  // (n, K-1)
        scores = jnp.attr("expand_dims")(at_mean, 0) + jnp.attr("transpose")(noise, nb::make_tuple(1, 2, 0));
    } else {
        //    Through the coefficient sets.
        nb::object beta_s = jnp.attr("expand_dims")(beta_mean, 0) + einsum("kij,skj->ski", beta_cov_chol, eps);
        nb::object eta = einsum("nd,skd->skn", X_aug, beta_s);
        scores = jnp.attr("transpose")(eta, nb::make_tuple(0, 2, 1));
    }
    // 3. Full logits (S, n, K): the non-reference columns from the scores, then the
    //    reference column zero, written last so that it wins whatever non_ref lists.
    nb::object logits_s = jnp.attr("zeros")(nb::make_tuple(S, n, n_classes), nb::arg("dtype") = xtype);
    logits_s = Jax::set_at(logits_s, nb::make_tuple(all(), all(), non_ref), scores);
    return Jax::set_at(logits_s, nb::make_tuple(all(), all(), ref_class),
                       jnp.attr("zeros")(nb::make_tuple(S, n), nb::arg("dtype") = xtype));
}

nb::object mapped_softmax(const Jax &j, nb::handle softmax, nb::handle logits_s) {
    return j.jax.attr("vmap")(softmax)(logits_s);
}

}  // namespace kovani::inference
