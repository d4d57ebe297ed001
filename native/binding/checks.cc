#include "kovani/checks.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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

namespace {

[[noreturn]] void inconsistent(const std::string &what) {
    raise(PyExc_ValueError, ("inconsistent model record: " + what).c_str());
}

std::string text(nb::handle value) { return nb::repr(value).c_str(); }

}  // namespace

void check_record(long long n_classes, long long ref_class, nb::handle non_ref, nb::handle beta_mean,
                  nb::handle beta_cov_chol) {
    nb::object mean_shape = beta_mean.attr("shape"), chol_shape = beta_cov_chol.attr("shape");
    nb::object classes_shape = non_ref.attr("shape");
    bool ok = nb::len(mean_shape) == 2 && nb::len(classes_shape) == 1 && nb::len(chol_shape) == 3 &&
              mean_shape[0].equal(classes_shape[0]) && chol_shape[0].equal(mean_shape[0]) &&
              chol_shape[1].equal(mean_shape[1]) && chol_shape[2].equal(mean_shape[1]);
    if (!ok)
        inconsistent("expected beta_mean of shape (R, d_aug), beta_cov_chol of shape (R, d_aug, d_aug) "
                     "and R entries in non_ref_classes; got beta_mean " + text(mean_shape) + ", beta_cov_chol " +
                     text(chol_shape) + " and non_ref_classes " + text(classes_shape));

    // R + 1 cannot overflow: R counts the rows of an array in memory.
    const long long rows = (long long) nb::len(non_ref);
    if (rows + 1 != n_classes)
        inconsistent("n_classes is " + std::to_string(n_classes) + " but non_ref_classes has " +
                     std::to_string(rows) + " entries (expected n_classes - 1)");
    if (ref_class < 0 || ref_class >= n_classes)
        inconsistent("ref_class " + std::to_string(ref_class) + " is not a class index below n_classes " +
                     std::to_string(n_classes));
    std::vector<bool> seen((size_t) n_classes, false);
    seen[(size_t) ref_class] = true;
    nb::object classes = non_ref.attr("tolist")();
    for (nb::handle value : classes) {
        const long long c = to_int64(value);
        if (c < 0 || c >= n_classes || seen[(size_t) c])
            inconsistent("non_ref_classes must list every class index below n_classes " + std::to_string(n_classes) +
                         " except ref_class " + std::to_string(ref_class) + ", once each; got " + text(classes));
        seen[(size_t) c] = true;
    }
}

void check_record_types(const Jax &j, nb::handle beta_mean, nb::handle beta_cov_chol, bool floating_mean) {
    auto type_name = [&](nb::handle a) { return std::string(nb::str(j.np.attr("result_type")(a)).c_str()); };
    auto complex = [&](nb::handle a) { return PyObject_IsTrue(j.np.attr("iscomplexobj")(a).ptr()) == 1; };
    for (auto [name, entry] : {std::pair{"beta_mean", beta_mean}, {"beta_cov_chol", beta_cov_chol}})
        if (complex(entry))
            raise(PyExc_ValueError, ("invalid model record: " + std::string(name) + " must hold real numbers, got " +
                                     type_name(entry)).c_str());
    if (floating_mean &&
        PyObject_IsTrue(j.jnp.attr("issubdtype")(beta_mean.attr("dtype"), j.jnp.attr("floating")).ptr()) != 1)
        raise(PyExc_ValueError, ("invalid model record: beta_mean must be a floating-point array (its element "
                                 "type is the working type), got " + type_name(beta_mean)).c_str());
}

}  // namespace kovani
