// Small helpers for numeric code written against JAX through nanobind handles.
#pragma once

#include "kovani/binding.h"

namespace kovani {

// The array modules a body computes with, read from its module's namespace per call.
struct Jax {
    nb::object jax, jnp, np;
    explicit Jax(Function &self)
        : jax(global(self, "jax")), jnp(global(self, "jnp")), np(global(self, "np")) {}

    nb::object lax() const { return jax.attr("lax"); }
    // jnp.asarray(v, dtype=dtype)
    nb::object asarray(nb::handle v, nb::handle dtype) const {
        return jnp.attr("asarray")(v, nb::arg("dtype") = dtype);
    }
    nb::object matmul(nb::handle a, nb::handle b) const { return jnp.attr("matmul")(a, b); }
    // v[:, None]
    nb::object column(nb::handle v) const { return jnp.attr("expand_dims")(v, 1); }
    nb::object eps(nb::handle dtype) const { return jnp.attr("finfo")(dtype).attr("eps"); }
    // a.at[index].set(value)
    static nb::object set_at(nb::handle a, nb::handle index, nb::handle value) {
        return a.attr("at")[index].attr("set")(value);
    }
};

inline nb::object all() { return nb::slice(nb::none(), nb::none(), nb::none()); }

}  // namespace kovani
