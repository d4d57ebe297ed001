#include "kovani/checks.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace kovani {

void check_memory(const char *what, double bytes, const std::string &detail) {
    const double have = (double) sysconf(_SC_PHYS_PAGES) * (double) sysconf(_SC_PAGESIZE);
    if (!(have > 0) || bytes <= have)
        return;
    const double gib = 1024.0 * 1024.0 * 1024.0;
    char sizes[2][32];
    std::snprintf(sizes[0], sizeof sizes[0], "%.1f", bytes / gib);
    std::snprintf(sizes[1], sizeof sizes[1], "%.1f", have / gib);
    std::string message = std::string(what) + " needs at least " + sizes[0] + " GiB for " + detail +
                          ", more than this machine's " + sizes[1] + " GiB of memory";
    raise(PyExc_MemoryError, message.c_str());
}

double logits_bytes(const Jax &j, nb::handle n, nb::handle K, nb::handle dtype) {
    auto as_double = [](nb::handle v) {
        double d = PyFloat_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            // Beyond a double: as large as can be.
            PyErr_Clear();
            return HUGE_VAL;
        }
        return d;
    };
    const double rows = as_double(n), cols = as_double(K);
    if (!(rows > 0 && cols > 0))
        return 0;
    return rows * cols * as_double(j.np.attr("dtype")(dtype).attr("itemsize"));
}

void check_record_shapes(nb::handle beta_mean, nb::handle beta_cov_chol, nb::handle non_ref) {
    nb::object mean_shape = beta_mean.attr("shape"), chol_shape = beta_cov_chol.attr("shape");
    nb::object classes_shape = non_ref.attr("shape");
    bool ok = nb::len(mean_shape) == 2 && nb::len(classes_shape) == 1 && nb::len(chol_shape) == 3 &&
              mean_shape[0].equal(classes_shape[0]) && chol_shape[0].equal(mean_shape[0]) &&
              chol_shape[1].equal(mean_shape[1]) && chol_shape[2].equal(mean_shape[1]);
    if (ok)
        return;
    std::string message =
        std::string("inconsistent model record: expected beta_mean of shape (R, d_aug), "
                    "beta_cov_chol of shape (R, d_aug, d_aug) and R entries in non_ref_classes; "
                    "got beta_mean ") +
        nb::repr(mean_shape).c_str() + ", beta_cov_chol " + nb::repr(chol_shape).c_str() +
        " and non_ref_classes " + nb::repr(classes_shape).c_str();
    raise(PyExc_ValueError, message.c_str());
}

}  // namespace kovani
