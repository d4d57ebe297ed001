#include "reduced.h"

#include "factor_kernel.h"

namespace kovani::learning {

Reduced reduce(const Jax &j, nb::handle V) {
    nb::object VT = j.jnp.attr("swapaxes")(V, -1, -2);
    nb::object qr = j.jnp.attr("linalg").attr("qr")(VT, nb::arg("mode") = "reduced");
    return {qr[0], j.jnp.attr("swapaxes")(qr[1], -1, -2)};
}

nb::object lower_triangular(Function &self, const Jax &j, nb::handle L) {
    nb::object jnp = j.jnp;
    nb::object upper = jnp.attr("any")(jnp.attr("triu")(L, 1).attr("__ne__")(0));
    // Taken only for such a record: one factorisation per row and call.
    nb::object refactor = closure(self, "refactor", {"M"}, [j](Function &, Args &a) {
        return j.jnp.attr("linalg").attr("cholesky")(j.matmul(a[0], j.jnp.attr("swapaxes")(a[0], -1, -2)));
    });
    nb::object keep = closure(self, "keep", {"M"}, [](Function &, Args &a) { return a[0]; });
    return j.lax().attr("cond")(upper, refactor, keep, L);
}

nb::object lifted_means(const Jax &j, nb::handle m0, nb::handle L0, nb::handle Q, nb::handle mu) {
    nb::object einsum = j.jnp.attr("einsum");
    nb::object direction = einsum("rdn,rn->rd", Q, mu);
    return nb::borrow(m0) + einsum("rde,re->rd", L0, direction);
}

Eigen eigen_from_factor(const Jax &j, nb::handle C) {
    nb::object svd = j.jnp.attr("linalg").attr("svd")(C);
    nb::object sv = svd[1];
    return {sv * sv, svd[0]};
}

nb::object lifted_factors(Function &self, const Jax &j, nb::handle L0, nb::handle Q, const Eigen &e) {
    nb::object jnp = j.jnp;
    // The directions in the coefficients' whitened space, one per row of U.
    nb::object U = jnp.attr("swapaxes")(j.matmul(Q, e.P), -1, -2);
    // Within a few roundings of 1 a direction is the prior's, and costs a pass over L0.
    nb::object one = jnp.attr("ones_like")(e.s);
    nb::object near = jnp.attr("abs")(e.s - one).attr("__le__")(j.eps(e.s.attr("dtype")) * nb::int_(4));
    // Sigma's eigenvalues are positive; one that rounding took to zero or below would end
    // the factor's recurrence in a division by zero.
    nb::object tiny = jnp.attr("finfo")(e.s.attr("dtype")).attr("tiny");
    nb::object s = jnp.attr("where")(near, one, jnp.attr("maximum")(e.s, tiny));
    return rank_n_factor_update(self, j, L0, U, s);
}

}  // namespace kovani::learning
