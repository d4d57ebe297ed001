#include "model/design.h"

namespace kovani::model {

Trials convert_trials(const Jax &j, nb::handle X, nb::handle y) {
    nb::object Xn = j.np.attr("asarray")(X, nb::arg("dtype") = j.np.attr("float64"));
    nb::object yn = j.np.attr("asarray")(y);
    if (nb::cast<long>(Xn.attr("ndim")) != 2)
        raise(PyExc_ValueError, "X must be 2D: (n_trials, n_features)");
    if (nb::cast<long>(yn.attr("ndim")) != 1)
        raise(PyExc_ValueError, "y must be 1D: (n_trials,)");
    if (!Xn.attr("shape")[0].equal(yn.attr("shape")[0]))
        raise(PyExc_ValueError, "X and y must have same number of rows");
    return {Xn, yn};
}

nb::object augmented(const Jax &j, nb::handle Xj) {
    nb::object n = Xj.attr("shape")[0];
    nb::object ones = j.jnp.attr("ones")(nb::make_tuple(n, 1), nb::arg("dtype") = Xj.attr("dtype"));
    return j.jnp.attr("concatenate")(nb::make_tuple(Xj, ones), nb::arg("axis") = 1);
}

long long padded_rows(long long n) {
    if (n <= 1)
        return 1;
    if (n <= 16)
        return 16;
    long long p = 32;
    while (p < n)
        p *= 2;
    if (p <= 64)
        return p;
    const long long step = p / 8;
    return (n + step - 1) / step * step;
}

PaddedBatch padded_batch(const Jax &j, nb::handle Xn, nb::handle y0, nb::handle np_dtype) {
    nb::object np = j.np;
    const long long n = to_int64(Xn.attr("shape")[0]), F = to_int64(Xn.attr("shape")[1]);
    PaddedBatch b{{}, {}, padded_rows(n), F + 1};
    nb::object trials = nb::slice(n);
    b.X_aug = np.attr("zeros")(nb::make_tuple(b.rows, b.d_aug), nb::arg("dtype") = np_dtype);
    b.X_aug[nb::make_tuple(trials, nb::slice(F))] = Xn;
    b.X_aug[nb::make_tuple(trials, nb::int_(F))] = nb::int_(1);
    b.yj = np.attr("full")(b.rows, -1, nb::arg("dtype") = np.attr("int32"));
    b.yj[trials] = y0;
    return b;
}

}  // namespace kovani::model
