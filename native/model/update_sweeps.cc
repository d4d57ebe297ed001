// The sweeps of both updates, over a padded batch, from the stored posterior.
#include "model/sweeps.h"

#include "model/host_arrays.h"
#include "model/placement.h"
#include "model/reduced.h"

#include <vector>

namespace kovani::model {
namespace {

Loop update_loop(const Jax &j, const CoreArgs &a, nb::handle X_aug) {
    return loop_of(j, a["dtype"], a["yj"], a["non_ref_j"], a["alpha"], X_aug.attr("shape")[0]);
}

// ---------------------------------------------------------------- the general cores

// The running update in the record's d-dimensional space, through the module's kernels as
// they are now (a caller's replacement included): returns (beta_mean, beta_cov_chol)
// after num_steps sweeps over the batch.
nb::object running_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object dtype = a["dtype"], X_aug = j.asarray(a["X_aug"], dtype);
    Loop loop = update_loop(j, a, X_aug);
    nb::object state = nb::make_tuple(j.asarray(a["beta_mean"], dtype), j.asarray(a["beta_cov_chol"], dtype));
    return sweeps_in_d(self, j, loop, a["num_steps"], X_aug, state,
                       running_step(j, loop, python_pg_update(a["pg_update"]), dtype));
}

// The parameters of a general core: the kernels it calls where it takes them, the working
// type and the sweep count, static; then the batch, the rows' classes, the stored
// posterior and the learning rate.
std::vector<CoreParam> general_params(std::vector<CoreParam> kernels) {
    for (CoreParam &p : kernels)
        p.is_static = true;
    kernels.insert(kernels.end(), {{"dtype", true}, {"num_steps", true}, {"X_aug"}, {"yj"}, {"non_ref_j"},
                                   {"beta_mean"}, {"beta_cov_chol"}, {"alpha"}});
    return kernels;
}

// pg_omega is part of the cache key only: the kernel looks it up while it is traced.
const Core running_update = {"_update_core", general_params({{"pg_update"}, {"pg_omega"}}), running_core};

// The fixed-prior update in the record's space: the stored rows are the prior of every
// sweep (their precisions solved once, before the sweeps), and the state, starting there,
// carries the approximation's covariances, factorised once after the last sweep.
nb::object fixed_prior_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object jnp = j.jnp, dtype = a["dtype"], X_aug = j.asarray(a["X_aug"], dtype);
    Loop loop = update_loop(j, a, X_aug);
    nb::object mean = j.asarray(a["beta_mean"], dtype), chol = j.asarray(a["beta_cov_chol"], dtype);
    nb::object eye = jnp.attr("broadcast_to")(jnp.attr("eye")(mean.attr("shape")[1], nb::arg("dtype") = dtype),
                                              chol.attr("shape"));
    FixedPrior prior{mean, j.jax.attr("scipy").attr("linalg").attr("cho_solve")(nb::make_tuple(chol, true), eye)};
    nb::object cov = j.matmul(chol, jnp.attr("swapaxes")(chol, -1, -2));
    nb::object state = sweeps_in_d(self, j, loop, a["num_steps"], X_aug, nb::make_tuple(mean, cov),
                                   fixed_prior_step(loop, own_pg_update(j), prior));
    return nb::make_tuple(state[0], jnp.attr("linalg").attr("cholesky")(state[1]));
}

const Core fixed_prior_update = {"_fixed_prior_core", general_params({}), fixed_prior_core};

// ---------------------------------------------------------------- the reduced cores
//
// For a batch of fewer trials than coefficients, in the batch's own n-dimensional space
// (reduced.h): class steps of O(n^3). They take the whitened trials V = X L0 (made on the
// host) and return, per row, v = Q mu (rows, d) and the directions that carry the stored
// factors through the batch (on the host again). Every row starts at theta ~ N(0, I_n).

nb::object reduced_core(Function &self, const CoreArgs &a, bool fixed_prior) {
    Jax j(self);
    nb::object jnp = j.jnp, dtype = a["dtype"], X_aug = j.asarray(a["X_aug"], dtype);
    Loop loop = update_loop(j, a, X_aug);
    Reduced r = reduce(j, j.asarray(a["V"], dtype));
    nb::object beta_mean = j.asarray(a["beta_mean"], dtype);
    nb::object Xm0 = j.matmul(X_aug, beta_mean.attr("T"));  // (n, rows)
    StandardStart start = standard_start(j, beta_mean.attr("shape")[0], X_aug.attr("shape")[0], dtype);
    // The fixed prior is theta's N(0, I_n), and the state carries covariances; the running
    // estimate's factors start at I_n too.
    RowStep step = fixed_prior ? fixed_prior_step(loop, own_pg_update(j), start.prior)
                               : running_step(j, loop, own_pg_update(j), dtype);
    nb::object state = sweeps_in_n(self, j, loop, a["num_steps"], r.design, Xm0, start.state, step);
    nb::object v = jnp.attr("einsum")("rdn,rn->rd", r.Q, state[0]);
    Directions dir;
    if (fixed_prior) {
        // The state holds covariances: Sigma's eigen-decomposition is its singular one.
        Singular svd = singular(j, state[1]);
        dir = directions(j, r.Q, svd.s, svd.P);
    } else {
        dir = directions_from_factor(j, r.Q, state[1]);
    }
    return nb::make_tuple(v, dir.U, dir.s);
}

const std::vector<CoreParam> reduced_params = {{"dtype", true}, {"num_steps", true}, {"V"}, {"X_aug"}, {"yj"},
                                               {"non_ref_j"},    {"beta_mean"},        {"alpha"}};

const Core running_reduced = {"_update_reduced_core", reduced_params,
                              [](Function &self, const CoreArgs &a) { return reduced_core(self, a, false); }};
const Core fixed_prior_reduced = {"_fixed_prior_reduced_core", reduced_params,
                                  [](Function &self, const CoreArgs &a) { return reduced_core(self, a, true); }};

// Whether a padded batch of `rows` trials is cheaper in its own space than in the
// coefficients' (measured on a 2-core CPU, K = 4, 10 sweeps: 16 rows pay from 33
// coefficients on, 64 rows from 129, not at 17 or 65).
bool reduced_pays(const UpdateInputs &in) { return 2 * in.batch.rows <= in.batch.d_aug; }

// Where an update's sweeps run: `reducible` says whether its batch would take the reduced
// form, whose host loops keep it on the CPU. The reduced form of a single trial (a batch
// of one row) factorises nothing larger than 1 x 1 and otherwise only scales and
// normalises vectors, calls that OpenBLAS never spreads over threads: it has no matrix
// for which placement would limit BLAS to one thread, and so runs without the thread-count
// calls that limit costs on every call of the live loop.
Placement update_placement(const UpdateInputs &in, bool reducible) {
    const double rows = (double) to_int64(in.beta_mean.attr("shape")[0]);
    const long long size = reducible && in.batch.rows == 1 ? 0 : in.batch.d_aug;
    return place((double) in.batch.rows * (double) (in.batch.d_aug * in.batch.d_aug) * rows * (double) in.num_steps,
                 reducible, size);
}

}  // namespace

std::vector<CoreArg> reduced_core_args(const Jax &j, const UpdateInputs &in) {
    return {{"dtype", in.dtype},
            {"num_steps", nb::int_(in.num_steps)},
            {"V", whitened(j, in.batch.X_aug, in.beta_cov_chol)},
            {"X_aug", in.batch.X_aug},
            {"yj", in.batch.yj},
            {"non_ref_j", in.non_ref_j},
            {"beta_mean", in.beta_mean},
            {"alpha", nb::float_(in.alpha)}};
}

Coefficients reduced_core_result(const Jax &j, const UpdateInputs &in, nb::handle out) {
    nb::object np = j.np;
    Directions dir{np.attr("asarray")(out[1]), np.attr("asarray")(out[2])};
    return {lifted_means(j, in.beta_mean, in.beta_cov_chol, np.attr("asarray")(out[0])),
            lifted_factors(j, in.beta_cov_chol, dir)};
}

namespace {

Coefficients reduced(Function &self, const Jax &j, const UpdateInputs &in, const Core &core, nb::handle context) {
    return reduced_core_result(j, in, call_core(self, core, reduced_core_args(j, in), context));
}

Coefficients general(Function &self, const Jax &j, const UpdateInputs &in, const Core &core,
                     std::vector<CoreArg> kernels, nb::handle context) {
    std::vector<CoreArg> args = {{"dtype", in.dtype},
                                 {"num_steps", nb::int_(in.num_steps)},
                                 {"X_aug", in.batch.X_aug},
                                 {"yj", in.batch.yj},
                                 {"non_ref_j", in.non_ref_j},
                                 {"beta_mean", in.beta_mean},
                                 {"beta_cov_chol", aligned(j, in.beta_cov_chol, in.beta_cov_chol.attr("dtype"))},
                                 {"alpha", nb::float_(in.alpha)}};
    args.insert(args.end(), kernels.begin(), kernels.end());
    nb::object out = call_core(self, core, args, context);
    return {host_copy(j, out[0]), host_copy(j, out[1])};
}

}  // namespace

Coefficients running_update_sweeps(Function &self, const Jax &j, const UpdateInputs &in, const Kernels &kernels) {
    const bool reducible = kernels.own && reduced_pays(in);
    const Placement where = update_placement(in, reducible);
    if (reducible && where.on_host)
        return reduced(self, j, in, running_reduced, where.context);
    return general(self, j, in, running_update, {{"pg_update", kernels.update}, {"pg_omega", kernels.omega}},
                   where.context);
}

Coefficients fixed_prior_sweeps(Function &self, const Jax &j, const UpdateInputs &in) {
    const Placement where = update_placement(in, reduced_pays(in));
    if (reduced_pays(in) && where.on_host)
        return reduced(self, j, in, fixed_prior_reduced, where.context);
    return general(self, j, in, fixed_prior_update, {}, where.context);
}

bool reduced_on_host(const UpdateInputs &in, bool fixed_prior, const Kernels &kernels) {
    if (!(fixed_prior || kernels.own) || !reduced_pays(in))
        return false;
    const Placement where = update_placement(in, true);
    return where.on_host && where.context.is_none();
}

const Core &reduced_update_core(bool fixed_prior) { return fixed_prior ? fixed_prior_reduced : running_reduced; }

}  // namespace kovani::model
