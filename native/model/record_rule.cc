#include "model/record_rule.h"

#include "model/factors.h"
#include "model/host_arrays.h"
#include "model/working_type.h"

#include <string>
#include <utility>
#include <vector>

namespace kovani::model {
namespace {

[[noreturn]] void inconsistent(const std::string &what) {
    raise(PyExc_ValueError, ("inconsistent model record: " + what).c_str());
}

[[noreturn]] void invalid(const std::string &what) {
    raise(PyExc_ValueError, ("invalid model record: " + what).c_str());
}

std::string text(nb::handle value) { return nb::repr(value).c_str(); }

// Whether every matrix of the factors `L` (..., d, d) is zero above its diagonal. Native
// float32 and float64 arrays are scanned in place; others through NumPy.
bool lower_triangular(const Jax &j, nb::handle L) {
    nb::object np = j.np, a = np.attr("asarray")(L);
    nb::object dtype = a.attr("dtype");
    if (!dtype.equal(np.attr("float32")) && !dtype.equal(np.attr("float64")))
        return !truthy(np.attr("triu")(a, 1).attr("any")());
    nb::object c = np.attr("ascontiguousarray")(a);
    HostArray h(c, false);
    const long long d = to_int64(c.attr("shape")[-1]);
    const long long count = d ? (long long) h.count() / (d * d) : 0;
    bool lower = true;
    typed({&h}, [&](auto zero) { lower = zero_above_diagonal(h.data<decltype(zero)>(), d, count); });
    return lower;
}

}  // namespace

void check_classes(long long n_classes, long long ref_class, nb::handle non_ref, nb::handle beta_mean,
                   nb::handle beta_cov_chol) {
    nb::object mean = beta_mean.attr("shape"), chol = beta_cov_chol.attr("shape");
    nb::object classes = non_ref.attr("shape");
    bool ok = nb::len(mean) == 2 && nb::len(classes) == 1 && nb::len(chol) == 3 &&
              mean[0].equal(classes[0]) && chol[0].equal(mean[0]) && chol[1].equal(mean[1]) &&
              chol[2].equal(mean[1]);
    if (!ok)
        inconsistent("expected beta_mean of shape (R, d_aug), beta_cov_chol of shape (R, d_aug, d_aug) "
                     "and R entries in non_ref_classes; got beta_mean " + text(mean) + ", beta_cov_chol " +
                     text(chol) + " and non_ref_classes " + text(classes));
    if (to_int64(mean[1]) < 1)
        inconsistent("beta_mean has no columns; expected n_features + 1 of them, the intercept last");

    // R + 1 cannot overflow: R counts the rows of an array in memory.
    const long long rows = (long long) nb::len(non_ref);
    const std::string K = std::to_string(n_classes), ref = std::to_string(ref_class);
    if (n_classes < 2)
        inconsistent("n_classes is " + K + "; a record has at least 2 classes");
    if (rows + 1 != n_classes)
        inconsistent("n_classes is " + K + " but non_ref_classes has " + std::to_string(rows) +
                     " entries (expected n_classes - 1)");
    if (ref_class < 0 || ref_class >= n_classes)
        inconsistent("ref_class " + ref + " is not a class index below n_classes " + K);
    std::vector<bool> seen((size_t) n_classes, false);
    seen[(size_t) ref_class] = true;
    nb::object listed = non_ref.attr("tolist")();
    bool ascending = true;
    long long previous = -1;
    for (nb::handle value : listed) {
        const long long c = to_int64(value);
        if (c < 0 || c >= n_classes || seen[(size_t) c])
            inconsistent("non_ref_classes must list every class index below n_classes " + K +
                         " except ref_class " + ref + ", once each; got " + text(listed));
        seen[(size_t) c] = true;
        ascending = ascending && c > previous;
        previous = c;
    }
    if (!ascending)
        inconsistent("non_ref_classes must be in ascending order (row j of beta_mean and beta_cov_chol "
                     "belongs to class non_ref_classes[j]); got " + text(listed));
}

void check_coefficients(const Jax &j, nb::handle beta_mean, nb::handle beta_cov_chol, bool floating_mean) {
    if (float32_or_float64(j, beta_mean) && float32_or_float64(j, beta_cov_chol))
        return;  // real numbers, and beta_mean floating point
    auto type_name = [&](nb::handle a) { return std::string(nb::str(j.np.attr("result_type")(a)).c_str()); };
    for (auto [name, entry] : {std::pair{"beta_mean", beta_mean}, {"beta_cov_chol", beta_cov_chol}})
        if (truthy(j.np.attr("iscomplexobj")(entry)))
            invalid(std::string(name) + " must hold real numbers, got " + type_name(entry));
    if (floating_mean && !truthy(j.jnp.attr("issubdtype")(beta_mean.attr("dtype"), j.jnp.attr("floating"))))
        invalid("beta_mean must be a floating-point array (its element type is the working type), got " +
                type_name(beta_mean));
}

void check_factors(const Jax &j, nb::handle beta_cov_chol) {
    if (!lower_triangular(j, beta_cov_chol))
        invalid("beta_cov_chol must be lower triangular (each matrix is the Cholesky factor of a "
                "covariance); it has non-zero entries above the diagonal");
}

void check_class_counts(nb::handle class_counts, long long n_classes) {
    nb::object shape = class_counts.attr("shape");
    if (nb::len(shape) != 1 || !shape[0].equal(nb::int_(n_classes)))
        inconsistent("class_counts of shape " + text(shape) + ", expected (n_classes,) with n_classes " +
                     std::to_string(n_classes));
}

}  // namespace kovani::model
