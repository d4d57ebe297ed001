#include "model/reduced.h"

#include "model/factors.h"
#include "model/host_arrays.h"

namespace kovani::model {

namespace {

bool single_trial(nb::handle a) { return to_int64(a.attr("shape")[-1]) == 1; }

}  // namespace

Reduced reduce(const Jax &j, nb::handle V) {
    nb::object jnp = j.jnp, VT = jnp.attr("swapaxes")(V, -1, -2);
    if (single_trial(VT)) {
        // One trial's QR is its normalisation, R = |v|. LAPACK's Householder form may give
        // -|v| and -Q; theta's N(0, I) start is symmetric, so the posterior is the same, and
        // the two LAPACK calls would cost more than the rest of a one-trial update. Scaled
        // by the largest entry first, so that squaring neither overflows nor underflows.
        nb::object top = jnp.attr("max")(jnp.attr("abs")(VT), nb::arg("axis") = -2, nb::arg("keepdims") = true);
        nb::object safe_top = jnp.attr("where")(top.attr("__gt__")(0), top, jnp.attr("ones_like")(top));
        nb::object unit = VT / safe_top;
        nb::object norm = top * jnp.attr("sqrt")(jnp.attr("sum")(unit * unit, nb::arg("axis") = -2, nb::arg("keepdims") = true));
        // A zero trial leaves Q = 0 and R = 0: the data say nothing, and theta keeps its start.
        nb::object safe_norm = jnp.attr("where")(norm.attr("__gt__")(0), norm, jnp.attr("ones_like")(norm));
        return {VT / safe_norm, norm};
    }
    nb::object qr = jnp.attr("linalg").attr("qr")(VT, nb::arg("mode") = "reduced");
    return {qr[0], jnp.attr("swapaxes")(qr[1], -1, -2)};
}

Singular singular(const Jax &j, nb::handle C) {
    if (single_trial(C)) {
        // 1 x 1: the singular value is |c|, and the direction's sign is lost in U^T U.
        nb::object s = j.jnp.attr("abs")(C)[nb::make_tuple(nb::ellipsis(), 0)];
        return {j.jnp.attr("ones_like")(C), s};
    }
    nb::object svd = j.jnp.attr("linalg").attr("svd")(C);
    return {svd[0], svd[1]};
}

Directions directions(const Jax &j, nb::handle Q, nb::handle s, nb::handle P) {
    nb::object jnp = j.jnp;
    nb::object U = jnp.attr("swapaxes")(j.matmul(Q, P), -1, -2);
    nb::object one = jnp.attr("ones_like")(s);
    nb::object finfo = jnp.attr("finfo")(nb::borrow(s).attr("dtype"));
    // Within a few roundings of 1 a direction is the prior's: left as it is, it would
    // cost a pass over the factor for nothing.
    nb::object near = jnp.attr("abs")(nb::borrow(s) - one).attr("__le__")(finfo.attr("eps") * nb::int_(4));
    // A tiny eigenvalue that rounding took to zero (or below) would end the factor's
    // recurrence in a division by zero.
    nb::object kept = jnp.attr("clip")(s, finfo.attr("tiny"), one);
    return {U, jnp.attr("where")(near, one, kept)};
}

Directions directions_from_factor(const Jax &j, nb::handle Q, nb::handle C) {
    Singular svd = singular(j, C);
    return directions(j, Q, svd.s * svd.s, svd.P);
}

namespace {

long long dim(nb::handle a, int axis) { return to_int64(a.attr("shape")[axis]); }

nb::object contiguous(const Jax &j, nb::handle a) { return j.np.attr("ascontiguousarray")(a); }

}  // namespace

nb::object whitened(const Jax &j, nb::handle X, nb::handle L0) {
    nb::object X_c = contiguous(j, X), L_c = contiguous(j, L0);
    const long long R = dim(L_c, 0), n = dim(X_c, 0), d = dim(X_c, 1);
    nb::object V = empty_aligned(j, nb::make_tuple(R, n, d), L_c.attr("dtype"));
    HostArray x(X_c, false), l(L_c, false), v(V, true);
    typed({&x, &l, &v}, [&](auto zero) {
        using T = decltype(zero);
        for (long long r = 0; r < R; ++r)
            rows_times_lower(x.data<T>(), l.data<T>() + r * d * d, v.data<T>() + r * n * d, n, d);
    });
    return V;
}

nb::object lifted_means(const Jax &j, nb::handle m0, nb::handle L0, nb::handle v) {
    nb::object L_c = contiguous(j, L0), v_c = contiguous(j, v);
    const long long R = dim(L_c, 0), d = dim(L_c, 1);
    nb::object Lv = j.np.attr("empty")(nb::make_tuple(R, d), nb::arg("dtype") = L_c.attr("dtype"));
    HostArray l(L_c, false), x(v_c, false), y(Lv, true);
    typed({&l, &x, &y}, [&](auto zero) {
        using T = decltype(zero);
        for (long long r = 0; r < R; ++r)
            lower_times_vector(l.data<T>() + r * d * d, x.data<T>() + r * d, y.data<T>() + r * d, d);
    });
    return nb::borrow(m0) + Lv;
}

nb::object lifted_factors(const Jax &j, nb::handle L0, const Directions &directions) {
    nb::object L_c = contiguous(j, L0), U_c = contiguous(j, directions.U), s_c = contiguous(j, directions.s);
    const long long R = dim(U_c, 0), n = dim(U_c, 1), d = dim(U_c, 2);
    const bool diagonal = to_int64(L_c.attr("ndim")) == 1;
    nb::object L = empty_aligned(j, nb::make_tuple(R, d, d), L_c.attr("dtype"));
    HostArray l0(L_c, false), u(U_c, false), s(s_c, false), l(L, true);
    typed({&l0, &u, &s, &l}, [&](auto zero) {
        using T = decltype(zero);
        for (long long r = 0; r < R; ++r) {
            T *out = l.data<T>() + r * d * d;
            const T *u_r = u.data<T>() + r * n * d, *s_r = s.data<T>() + r * n;
            if (diagonal)
                rank_n_factor_update_diagonal(l0.data<T>(), out, u_r, s_r, d, n);
            else
                rank_n_factor_update(l0.data<T>() + r * d * d, out, u_r, s_r, d, n);
        }
    });
    return L;
}

}  // namespace kovani::model
