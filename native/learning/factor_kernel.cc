// The factor update of factor_update.h as an XLA CPU kernel, called from compiled cores
// through JAX's foreign function interface. Registered once, when the module loads.
#include "factor_kernel.h"

#include "factor_update.h"

#ifdef KOVANI_XLA_FFI
#include <xla/ffi/api/ffi.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace ffi = xla::ffi;

namespace kovani::learning {
namespace {

// L0 (..., d, d), U (..., n, d), s (..., n) -> L (..., d, d); leading dimensions are a batch.
// L is L0's buffer when XLA could donate it, otherwise a copy of L0 is made first.
ffi::Error factor_update_kernel(ffi::AnyBuffer L0, ffi::AnyBuffer U, ffi::AnyBuffer s,
                                ffi::Result<ffi::AnyBuffer> L) {
    auto dims = L0.dimensions();
    const std::int64_t rank = (std::int64_t) dims.size();
    if (rank < 2 || dims[rank - 1] != dims[rank - 2])
        return ffi::Error::InvalidArgument("factor update: L0 must be a batch of square matrices");
    const std::int64_t d = dims[rank - 1];
    auto u_dims = U.dimensions();
    if ((std::int64_t) u_dims.size() != rank || u_dims[rank - 1] != d)
        return ffi::Error::InvalidArgument("factor update: U must be (..., n, d) beside L0 (..., d, d)");
    const std::int64_t n = u_dims[rank - 2];
    std::int64_t batch = 1;
    for (std::int64_t i = 0; i < rank - 2; ++i) {
        if (u_dims[i] != dims[i])
            return ffi::Error::InvalidArgument("factor update: batch dimensions of L0 and U differ");
        batch *= dims[i];
    }
    if ((std::int64_t) s.element_count() != batch * n || (std::int64_t) L->element_count() != batch * d * d)
        return ffi::Error::InvalidArgument("factor update: s must be (..., n) and L like L0");
    const auto type = L0.element_type();
    if (U.element_type() != type || s.element_type() != type || L->element_type() != type)
        return ffi::Error::InvalidArgument("factor update: all arrays must have one element type");

    auto run = [&](auto zero) {
        using T = decltype(zero);
        const T *l0 = L0.typed_data<T>(), *u = U.typed_data<T>(), *sv = s.typed_data<T>();
        T *out = L->typed_data<T>();
        if (out != l0)
            std::copy_n(l0, batch * d * d, out);
        for (std::int64_t b = 0; b < batch; ++b)
            rank_n_factor_update(out + b * d * d, u + b * n * d, sv + b * n, d, n);
    };
    switch (type) {
        case ffi::DataType::F32: run(0.0f); break;
        case ffi::DataType::F64: run(0.0); break;
        default: return ffi::Error::InvalidArgument("factor update: float32 or float64 arrays expected");
    }
    return ffi::Error::Success();
}

XLA_FFI_DEFINE_HANDLER(factor_update_handler, factor_update_kernel,
                       ffi::Ffi::Bind()
                           .Arg<ffi::AnyBuffer>()
                           .Arg<ffi::AnyBuffer>()
                           .Arg<ffi::AnyBuffer>()
                           .Ret<ffi::AnyBuffer>());

// Set once, at the first load in the process. XLA's registry is process-wide and outlives
// the module; the GIL orders the loads.
bool registered = false;

}  // namespace

bool register_factor_kernel(nb::handle jax) {
    // The portable form only, for comparing the two (the results agree up to rounding).
    const char *portable = std::getenv("KOVANI_BCI_PORTABLE_FACTOR");
    if (portable && *portable && std::string(portable) != "0")
        return false;
    if (!registered) {
        nb::object capsule = nb::steal(PyCapsule_New((void *) factor_update_handler, nullptr, nullptr));
        if (!capsule.is_valid())
            throw nb::python_error();
        jax.attr("ffi").attr("register_ffi_target")(kFactorKernel, capsule, nb::arg("platform") = "cpu");
        registered = true;
    }
    return true;
}

bool factor_kernel_registered() { return registered; }

}  // namespace kovani::learning

#else

namespace kovani::learning {

bool register_factor_kernel(nb::handle) { return false; }

bool factor_kernel_registered() { return false; }

}  // namespace kovani::learning

#endif

namespace kovani::learning {
namespace {

// Reverse cumulative sums along the last axis, shifted by one: out[..., j] = sum_{i>j} a[..., i].
nb::object sums_after(const Jax &j, nb::handle a) {
    nb::object jnp = j.jnp;
    nb::object suffix = jnp.attr("flip")(jnp.attr("cumsum")(jnp.attr("flip")(a, -1), nb::arg("axis") = -1), -1);
    nb::object rest = suffix[nb::make_tuple(nb::ellipsis(), nb::slice(nb::int_(1), nb::none(), nb::none()))];
    nb::object zero = jnp.attr("zeros_like")(suffix[nb::make_tuple(nb::ellipsis(), nb::slice(0, 1, 1))]);
    return jnp.attr("concatenate")(nb::make_tuple(rest, zero), nb::arg("axis") = -1);
}

// The directions still to come (as F^T u) or the factors (as L F), times one rank-1 factor:
// M diag(delta) + (sums over columns i > j of M[:, i] w_i) q_j. delta, q, w are (R, d).
nb::object times_factor(const Jax &j, nb::handle M, nb::handle delta, nb::handle q, nb::handle w) {
    nb::object jnp = j.jnp;
    auto rows = [&](nb::handle v) { return jnp.attr("expand_dims")(v, 1); };
    return nb::borrow(M) * rows(delta) + sums_after(j, nb::borrow(M) * rows(w)) * rows(q);
}

}  // namespace

nb::object portable_factor_update(Function &self, const Jax &j, nb::handle L0, nb::handle U, nb::handle s) {
    nb::object jnp = j.jnp;
    nb::object s_ = nb::borrow(s);
    // The rank-1 factors in turn, each as in factor_update.h, t_j always a sum of positive
    // terms: suffix sums for sigma < 0, prefix sums for sigma > 0.
    nb::object body = closure(self, "rank_one", {"k", "state"}, [j, s_](Function &, Args &a) {
        nb::object jnp = j.jnp;
        nb::object k = a[0], L = a[1][0], W = a[1][1];
        nb::object sk = jnp.attr("expand_dims")(s_[nb::make_tuple(all(), k)], 1);  // (R, 1)
        nb::object one = jnp.attr("ones_like")(sk), zero = jnp.attr("zeros_like")(sk);
        nb::object sigma = sk - one;
        nb::object w = W[nb::make_tuple(all(), k)];
        // Unit length in exact arithmetic; normalising drops the rounding of the carrying.
        w = w / jnp.attr("linalg").attr("norm")(w, nb::arg("axis") = -1, nb::arg("keepdims") = true);
        nb::object w2 = w * w;
        nb::object after = sums_after(j, w2), before = jnp.attr("cumsum")(w2, nb::arg("axis") = -1);
        nb::object shrink = sigma.attr("__lt__")(zero);
        nb::object t = jnp.attr("where")(shrink, sk - sigma * after, one + sigma * before);
        nb::object t_prev = jnp.attr("where")(shrink, sk - sigma * (after + w2), one + sigma * (before - w2));
        nb::object delta = jnp.attr("sqrt")(t / t_prev);
        nb::object q = sigma * w / jnp.attr("sqrt")(t * t_prev);
        return nb::object(nb::make_tuple(times_factor(j, L, delta, q, w), times_factor(j, W, delta, q, w)));
    });
    const long long n = nb::cast<long long>(U.attr("shape")[1]);
    nb::object L = j.lax().attr("fori_loop")(0, n, body, nb::make_tuple(nb::borrow(L0), nb::borrow(U)))[0];
    // Each factor has a positive diagonal: column j has the sign of L0[j, j]. Flipped, the
    // product is the Cholesky factor itself.
    nb::object diag = jnp.attr("diagonal")(L0, nb::arg("axis1") = -2, nb::arg("axis2") = -1);
    nb::object negative = diag.attr("__lt__")(jnp.attr("zeros_like")(diag));
    nb::object sign = jnp.attr("where")(negative, -1, 1).attr("astype")(L0.attr("dtype"));
    return L * jnp.attr("expand_dims")(sign, -2);
}

nb::object rank_n_factor_update(Function &self, const Jax &j, nb::handle L0, nb::handle U, nb::handle s) {
    if (!factor_kernel_registered())
        return portable_factor_update(self, j, L0, U, s);
    nb::object args = nb::make_tuple(L0, U, s);
    nb::object portable = closure(self, "portable", {}, [j, args](Function &f, Args &) {
        return portable_factor_update(f, j, args[0], args[1], args[2]);
    });
    // L0's buffer becomes the result's where XLA can donate it.
    nb::dict aliases;
    aliases[nb::int_(0)] = nb::int_(0);
    nb::object kernel = j.jax.attr("ffi").attr("ffi_call")(
        kFactorKernel, j.jax.attr("ShapeDtypeStruct")(L0.attr("shape"), L0.attr("dtype")),
        nb::arg("input_output_aliases") = aliases);
    nb::object on_cpu = closure(self, "on_cpu", {}, [kernel, args](Function &, Args &) {
        return kernel(args[0], args[1], args[2]);
    });
    return j.lax().attr("platform_dependent")(nb::arg("cpu") = on_cpu, nb::arg("default") = portable);
}

}  // namespace kovani::learning
