#include "model/class_step.h"

namespace kovani::model {

namespace {

// A single trial's reduced problem (reduced.h) has 1 x 1 matrices: a factor is a square
// root and a solve a division. As LAPACK calls they would cost a custom call each, eight
// per class step, which is most of what a one-trial update spends in its core; as
// elementwise operations they fuse. The same values up to one rounding (a triangular
// solve may multiply by the reciprocal instead of dividing).
bool is_scalar(nb::handle A) {
    return nb::cast<long>(A.attr("ndim")) == 2 && to_int64(A.attr("shape")[-1]) == 1;
}

// jnp.linalg.cholesky(A).
nb::object cholesky(const Jax &j, nb::handle A) {
    return is_scalar(A) ? j.jnp.attr("sqrt")(A) : j.jnp.attr("linalg").attr("cholesky")(A);
}

// jax.scipy.linalg.cho_solve((L, True), B): the two triangular solves.
nb::object cho_solve(const Jax &j, nb::handle L, nb::handle B) {
    if (is_scalar(L)) {
        nb::object l = L[nb::make_tuple(0, 0)];
        return (nb::borrow(B) / l) / l;
    }
    return j.jax.attr("scipy").attr("linalg").attr("cho_solve")(nb::make_tuple(L, true), B);
}

}  // namespace

Constants::Constants(const Jax &j, nb::handle dtype)
    : one(j.jnp.attr("array")(1, nb::arg("dtype") = dtype)), two(one + one), half(one / two), eps(j.eps(dtype)) {}

nb::object expected_omega(const Jax &j, nb::handle c) {
    Constants k(j, c.attr("dtype"));
    nb::object c1 = j.jnp.attr("maximum")(c, k.eps);
    return (k.half / c1) * j.jnp.attr("tanh")(k.half * c1);
}

Natural pg_natural(const Jax &j, const Omega &omega_of, nb::handle Xa, nb::handle z, nb::handle offset,
                   nb::handle psi_mean, nb::handle psi_var, nb::handle m0, nb::handle prec0) {
    nb::object jnp = j.jnp;
    Constants k(j, Xa.attr("dtype"));
    nb::object c = jnp.attr("sqrt")(nb::borrow(psi_mean) * psi_mean + psi_var + k.eps);
    nb::object omega = omega_of(c);
    nb::object XaT = Xa.attr("T");
    nb::object prec = prec0 + j.matmul(XaT, Xa * j.column(omega));
    nb::object kappa = z - k.half;
    nb::object b = j.matmul(prec0, m0) + j.matmul(XaT, kappa + omega * offset);
    return {prec, b};
}

nb::object pg_step(const Jax &j, const Omega &omega, nb::handle Xa, nb::handle z, nb::handle offset, nb::handle m0,
                   nb::handle prec0, nb::handle m, nb::handle S) {
    nb::object jnp = j.jnp;
    // 1. Moments of each trial's predictor psi_t = x_t . beta - offset_t under N(m, S);
    //    the variances are row sums of (Xa S) * Xa, never the n x n matrix Xa S Xa^T.
    nb::object psi_mean = j.matmul(Xa, m) - offset;
    nb::object psi_var = jnp.attr("sum")(j.matmul(Xa, S) * Xa, nb::arg("axis") = 1);
    // 2. The precision and right-hand side of the new posterior.
    Natural nat = pg_natural(j, omega, Xa, z, offset, psi_mean, psi_var, m0, prec0);
    // 3. One factorisation serves both solves: the mean and the covariance prec^-1.
    nb::object factor = cholesky(j, nat.prec);
    nb::object m_new = cho_solve(j, factor, nat.b);
    const Py_ssize_t d = nb::cast<Py_ssize_t>(nat.prec.attr("shape")[0]);
    nb::object S_new = cho_solve(j, factor, jnp.attr("eye")(d, nb::arg("dtype") = Xa.attr("dtype")));
    return nb::make_tuple(m_new, S_new);
}

PgUpdate own_pg_update(const Jax &j) {
    Omega omega = [j](nb::handle c) { return expected_omega(j, c); };
    return [j, omega](nb::handle Xa, nb::handle z, nb::handle offset, nb::handle m0, nb::handle prec0, nb::handle m,
                      nb::handle S) { return pg_step(j, omega, Xa, z, offset, m0, prec0, m, S); };
}

Kernels module_kernels(Function &self) {
    Kernels k{global(self, "_pg_binary_update"), global(self, "_pg_expected_omega"), false};
    k.own = is_published(self, k.update, "_pg_binary_update") && is_published(self, k.omega, "_pg_expected_omega");
    return k;
}

PgUpdate python_pg_update(nb::handle update) {
    nb::object fn = nb::borrow(update);
    return [fn](nb::handle Xa, nb::handle z, nb::handle offset, nb::handle m0, nb::handle prec0, nb::handle m,
                nb::handle S) { return fn(Xa, z, offset, m0, prec0, m, S); };
}

nb::object damp(nb::handle one_s, nb::handle alpha, nb::handle old, nb::handle step) {
    return (nb::borrow(one_s) - alpha) * old + nb::borrow(alpha) * step;
}

Loop loop_of(const Jax &j, nb::handle dtype, nb::handle yj, nb::handle non_ref_j, nb::handle alpha, nb::handle n) {
    return {nb::borrow(yj), nb::borrow(non_ref_j), j.asarray(alpha, dtype), j.asarray(nb::int_(1), dtype),
            j.jnp.attr("zeros")(nb::make_tuple(n, 1), nb::arg("dtype") = dtype)};
}

std::pair<nb::object, nb::object> FixedPrior::of_row(nb::handle i) const {
    if (nb::cast<long>(mean.attr("ndim")) == 2)
        return {mean[i], prec[i]};
    return {mean, prec};
}

RowStep fixed_prior_step(const Loop &loop, const PgUpdate &update, const FixedPrior &prior) {
    return [loop, update, prior](nb::handle design, const ClassTarget &t, nb::handle i, nb::handle m_i,
                                 nb::handle S_i) {
        auto [m0, prec0] = prior.of_row(i);
        nb::object step = update(design, t.z, t.offset, m0, prec0, m_i, S_i);
        return nb::object(nb::make_tuple(damp(loop.one_s, loop.alpha, m_i, step[0]),
                                         damp(loop.one_s, loop.alpha, S_i, step[1])));
    };
}

RowStep running_step(const Jax &j, const Loop &loop, const PgUpdate &update, nb::handle dtype) {
    nb::object type = nb::borrow(dtype);
    return [j, loop, update, type](nb::handle design, const ClassTarget &t, nb::handle, nb::handle m0,
                                   nb::handle L) {
        nb::object S0 = j.matmul(L, j.jnp.attr("swapaxes")(L, -1, -2));
        nb::object eye = j.jnp.attr("eye")(L.attr("shape")[0], nb::arg("dtype") = type);
        nb::object prec0 = cho_solve(j, L, eye);
        nb::object step = update(design, t.z, t.offset, m0, prec0, m0, S0);
        nb::object m_new = damp(loop.one_s, loop.alpha, m0, step[0]);
        nb::object S_new = damp(loop.one_s, loop.alpha, S0, step[1]);
        return nb::object(nb::make_tuple(m_new, cholesky(j, S_new)));
    };
}

nb::object sweeps(Function &self, const Jax &j, nb::handle num_steps, nb::handle rows, nb::handle state,
                  nb::handle class_step) {
    nb::object step = nb::borrow(class_step), count = nb::borrow(rows);
    nb::object sweep = closure(self, "sweep", {"_", "state"}, [j, step, count](Function &, Args &s) {
        return j.lax().attr("fori_loop")(0, count, step, s[1]);
    });
    return j.lax().attr("fori_loop")(0, num_steps, sweep, state);
}

namespace {

// Row i of the state replaced by the step's pair.
nb::object with_row(nb::handle first, nb::handle second, nb::handle i, nb::handle pair) {
    return nb::make_tuple(Jax::set_at(first, i, pair[0]), Jax::set_at(second, i, pair[1]));
}

}  // namespace

nb::object sweeps_in_d(Function &self, const Jax &j, const Loop &loop, nb::handle num_steps, nb::handle X_aug,
                       nb::handle state, const RowStep &step) {
    nb::object design = nb::borrow(X_aug);
    nb::object update_one = closure(self, "update_one", {"i", "st"}, [j, loop, design, step](Function &, Args &s) {
        nb::object i = s[0], means = s[1][0], second = s[1][1];
        nb::object eta = j.matmul(design, means.attr("T"));
        ClassTarget t = class_target(j, eta, loop.ref0, loop.one_s, loop.yj, loop.non_ref_j, i);
        return with_row(means, second, i, step(design, t, i, means[i], second[i]));
    });
    return sweeps(self, j, num_steps, state[0].attr("shape")[0], state, update_one);
}

StandardStart standard_start(const Jax &j, nb::handle rows, nb::handle n, nb::handle dtype) {
    nb::object jnp = j.jnp;
    nb::object eye = jnp.attr("eye")(n, nb::arg("dtype") = dtype);
    nb::object mu = jnp.attr("zeros")(nb::make_tuple(rows, n), nb::arg("dtype") = dtype);
    return {nb::make_tuple(mu, jnp.attr("tile")(eye, nb::make_tuple(rows, 1, 1))),
            FixedPrior{jnp.attr("zeros")(nb::make_tuple(n), nb::arg("dtype") = dtype), eye}};
}

nb::object sweeps_in_n(Function &self, const Jax &j, const Loop &loop, nb::handle num_steps, nb::handle designs,
                       nb::handle Xm0, nb::handle state, const RowStep &step) {
    nb::object D = nb::borrow(designs), shift = nb::borrow(Xm0);
    const bool per_row = nb::cast<long>(D.attr("ndim")) == 3;
    nb::object update_one =
        closure(self, "update_one", {"i", "st"}, [j, loop, D, shift, per_row, step](Function &, Args &s) {
            nb::object i = s[0], mu = s[1][0], second = s[1][1];
            nb::object eta = per_row ? shift + j.jnp.attr("einsum")("rnk,rk->nr", D, mu)
                                     : j.column(shift) + j.matmul(D, mu.attr("T"));
            ClassTarget t = class_target(j, eta, loop.ref0, loop.one_s, loop.yj, loop.non_ref_j, i);
            t.offset = t.offset - (per_row ? shift[nb::make_tuple(all(), i)] : shift);
            return with_row(mu, second, i, step(per_row ? D[i] : D, t, i, mu[i], second[i]));
        });
    return sweeps(self, j, num_steps, state[0].attr("shape")[0], state, update_one);
}

}  // namespace kovani::model
