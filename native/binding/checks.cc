#include "kovani/checks.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace kovani {
namespace {

[[noreturn]] void inconsistent(const std::string &what) {
    raise(PyExc_ValueError, ("inconsistent model record: " + what).c_str());
}

[[noreturn]] void invalid(const std::string &what) {
    raise(PyExc_ValueError, ("invalid model record: " + what).c_str());
}

std::string text(nb::handle value) { return nb::repr(value).c_str(); }

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

}  // namespace

double as_size(nb::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        // An integer beyond a double: as large as can be.
        PyErr_Clear();
        return HUGE_VAL;
    }
    return d;
}

void check_memory(const char *what, double bytes, const std::string &detail) {
    const double have = (double) sysconf(_SC_PHYS_PAGES) * (double) sysconf(_SC_PAGESIZE);
    if (!(have > 0) || bytes <= have)
        return;
    const double gib = 1024.0 * 1024.0 * 1024.0;
    char sizes[2][32];
    std::snprintf(sizes[0], sizeof sizes[0], "%.1f", bytes / gib);
    std::snprintf(sizes[1], sizeof sizes[1], "%.1f", have / gib);
    raise(PyExc_MemoryError, (std::string(what) + " needs at least " + sizes[0] + " GiB for " + detail +
                              ", more than this machine's " + sizes[1] + " GiB of memory")
                                 .c_str());
}

double logits_bytes(const Jax &j, nb::handle n, nb::handle K, nb::handle dtype) {
    const double rows = as_size(n), cols = as_size(K);
    if (!(rows > 0 && cols > 0))
        return 0;
    return rows * cols * as_size(j.np.attr("dtype")(dtype).attr("itemsize"));
}

void check_record(long long n_classes, long long ref_class, nb::handle non_ref, nb::handle beta_mean,
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

    // R + 1 cannot overflow: R counts the rows of an array in memory.
    const long long rows = (long long) nb::len(non_ref);
    const std::string K = std::to_string(n_classes), ref = std::to_string(ref_class);
    if (rows + 1 != n_classes)
        inconsistent("n_classes is " + K + " but non_ref_classes has " + std::to_string(rows) +
                     " entries (expected n_classes - 1)");
    if (ref_class < 0 || ref_class >= n_classes)
        inconsistent("ref_class " + ref + " is not a class index below n_classes " + K);
    std::vector<bool> seen((size_t) n_classes, false);
    seen[(size_t) ref_class] = true;
    nb::object listed = non_ref.attr("tolist")();
    for (nb::handle value : listed) {
        const long long c = to_int64(value);
        if (c < 0 || c >= n_classes || seen[(size_t) c])
            inconsistent("non_ref_classes must list every class index below n_classes " + K +
                         " except ref_class " + ref + ", once each; got " + text(listed));
        seen[(size_t) c] = true;
    }
}

void check_record_types(const Jax &j, nb::handle beta_mean, nb::handle beta_cov_chol, bool floating_mean) {
    auto type_name = [&](nb::handle a) { return std::string(nb::str(j.np.attr("result_type")(a)).c_str()); };
    for (auto [name, entry] : {std::pair{"beta_mean", beta_mean}, {"beta_cov_chol", beta_cov_chol}})
        if (truthy(j.np.attr("iscomplexobj")(entry)))
            invalid(std::string(name) + " must hold real numbers, got " + type_name(entry));
    if (floating_mean && !truthy(j.jnp.attr("issubdtype")(beta_mean.attr("dtype"), j.jnp.attr("floating"))))
        invalid("beta_mean must be a floating-point array (its element type is the working type), got " +
                type_name(beta_mean));
}

}  // namespace kovani
