#include "model/record.h"

#include "model/record_rule.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

namespace kovani::model {

// ---------------------------------------------------------------- readers

nb::object Reader::entry(const char *key) const {
    return of_model_ ? source_.attr("params")[key] : source_[key];
}

namespace {

// The value of `v` where it is what a record stores, a 0-d NumPy array of a native T (its
// buffer format one of `formats`), read from its buffer: the conversion through
// np.asarray and int() or float() that gives the same value for it costs a few Python
// calls per entry, ten entries per update. False, with nothing read, for anything else.
template <class T>
bool stored_scalar(const Jax &j, nb::handle v, std::initializer_list<std::string_view> formats, T &out) {
    if (Py_TYPE(v.ptr()) != (PyTypeObject *) j.np.attr("ndarray").ptr())
        return false;
    Py_buffer view;
    if (PyObject_GetBuffer(v.ptr(), &view, PyBUF_ND | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const std::string_view format = view.format ? view.format : "";
    const bool ok = view.ndim == 0 && view.itemsize == (Py_ssize_t) sizeof(T) &&
                    std::find(formats.begin(), formats.end(), format) != formats.end();
    if (ok)
        std::memcpy(&out, view.buf, sizeof(T));
    PyBuffer_Release(&view);
    return ok;
}

}  // namespace

long long Reader::read_int(const Jax &j, const char *key) const {
    nb::object stored = entry(key);
    long long value;
    if (stored_scalar(j, stored, {"l", "q"}, value))
        return value;
    return to_int64(j.np.attr("asarray")(stored, nb::arg("dtype") = j.np.attr("int64")));
}

double Reader::read_float(const Jax &j, const char *key) const {
    nb::object stored = entry(key);
    double value;
    if (stored_scalar(j, stored, {"d"}, value))
        return value;
    nb::object v = j.np.attr("asarray")(stored, nb::arg("dtype") = j.np.attr("float64"));
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

nb::object Reader::read_indices(const Jax &j, const char *key) const {
    return j.np.attr("array")(entry(key), nb::arg("dtype") = j.np.attr("int64"));
}

namespace {

// The smallest and the largest of the class indices `y0` (a new int64 NumPy array), in one
// pass over its buffer: NumPy's min and max would cost a Python-level call each on every
// update. An empty batch fails with NumPy's own error, from its min, as before.
std::pair<long long, long long> index_range(nb::handle y0) {
    Py_buffer view;
    if (PyObject_GetBuffer(y0.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0)
        throw nb::python_error();
    const std::string format = view.format ? view.format : "";
    const bool int64 = view.itemsize == sizeof(long long) && (format == "l" || format == "q");
    const Py_ssize_t count = int64 ? view.len / view.itemsize : 0;
    std::pair<long long, long long> range;
    if (count > 0) {
        const auto *values = static_cast<const long long *>(view.buf);
        const auto [low, high] = std::minmax_element(values, values + count);
        range = {*low, *high};
    }
    PyBuffer_Release(&view);
    if (count == 0)
        range = {to_int64(y0.attr("min")()), to_int64(y0.attr("max")())};
    return range;
}

}  // namespace

UpdateSettings read_update_settings(const Jax &j, const Reader &record, const Trials &trials) {
    UpdateSettings s;
    s.label_base = record.read_int(j, "label_base");
    s.y0 = trials.yn.attr("astype")(j.np.attr("int64")) - nb::int_(s.label_base);
    const auto [bottom, top] = index_range(s.y0);
    if (bottom < 0)
        raise(PyExc_ValueError, "y out of range for label_base");
    s.old_n_classes = record.read_int(j, "n_classes");
    // (Saturated: an absurd label then fails in NumPy's allocation, not in an overflow.)
    s.new_n_classes =
        top < s.old_n_classes ? s.old_n_classes : top + (top < std::numeric_limits<long long>::max());
    s.ref_class = record.read_int(j, "ref_class");
    s.non_ref = record.read_indices(j, "non_ref_classes");
    s.prior.w_loc = record.read_float(j, "w_loc");
    s.prior.w_scale = record.read_float(j, "w_scale");
    s.prior.b_loc = record.read_float(j, "b_loc");
    s.prior.b_scale = record.read_float(j, "b_scale");
    s.alpha = record.read_float(j, "learning_rate");
    s.num_steps = record.read_int(j, "num_steps");
    if (!(s.alpha > 0 && s.alpha <= 1))
        raise(PyExc_ValueError, "learning_rate must be in (0, 1]");
    if (s.num_steps < 1)
        raise(PyExc_ValueError, "num_steps must be >= 1");
    return s;
}

UpdateRows read_update_rows(const Jax &j, const Reader &record, const UpdateSettings &s, nb::handle np_dtype) {
    nb::object asarray = j.np.attr("asarray");
    nb::object stored_mean = record.entry("beta_mean");
    nb::object beta_mean = asarray(stored_mean, nb::arg("dtype") = np_dtype);
    nb::object stored_chol = record.entry("beta_cov_chol");
    nb::object beta_cov_chol = asarray(stored_chol, nb::arg("dtype") = np_dtype);
    nb::object class_counts = asarray(record.entry("class_counts"), nb::arg("dtype") = j.np.attr("int64"));
    check_classes(s.old_n_classes, s.ref_class, s.non_ref, beta_mean, beta_cov_chol);
    check_coefficients(j, stored_mean, stored_chol, false);
    check_class_counts(class_counts, s.old_n_classes);
    check_factors(j, stored_chol);
    return {beta_mean, beta_cov_chol, class_counts};
}

void grow_classes(const Jax &j, UpdateSettings &s, UpdateRows &rows, long long n_features) {
    if (s.new_n_classes <= s.old_n_classes)
        return;
    s.prior.check_usable();
    nb::object np = j.np, int64 = np.attr("int64");
    nb::object added = np.attr("arange")(s.old_n_classes, s.new_n_classes, nb::arg("dtype") = int64);
    nb::object reps = nb::int_(s.new_n_classes - s.old_n_classes);
    nb::object dtype = rows.beta_mean.attr("dtype");
    auto append = [&](nb::handle stored, nb::handle row, nb::handle tiles) {
        return np.attr("concatenate")(nb::make_tuple(stored, np.attr("tile")(row.attr("astype")(dtype), tiles)));
    };
    s.non_ref = np.attr("concatenate")(nb::make_tuple(s.non_ref, added));
    rows.beta_mean = append(rows.beta_mean, s.prior.mean(j, n_features), nb::make_tuple(reps, 1));
    rows.beta_cov_chol = append(rows.beta_cov_chol, s.prior.factor(j, n_features), nb::make_tuple(reps, 1, 1));
    rows.class_counts = np.attr("concatenate")(
        nb::make_tuple(rows.class_counts, np.attr("zeros")(reps, nb::arg("dtype") = int64)));
}

nb::object counts_after(const Jax &j, const UpdateSettings &s, const UpdateRows &rows) {
    nb::object int64 = j.np.attr("int64");
    return rows.class_counts +
           j.np.attr("bincount")(s.y0, nb::arg("minlength") = s.new_n_classes).attr("astype")(int64);
}

namespace {

bool instance_of(nb::handle value, nb::handle type) {
    const int r = PyObject_IsInstance(value.ptr(), type.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// NumPy and JAX arrays pass as they are; jit canonicalises them on the way in.
nb::object as_array(const Jax &j, nb::handle value) {
    if (instance_of(value, j.np.attr("ndarray")) || instance_of(value, j.jax.attr("Array")))
        return nb::borrow(value);
    return j.jnp.attr("asarray")(value);
}

}  // namespace

Posterior read_posterior(const Jax &j, const Reader &record) {
    Posterior p;
    p.n_classes = record.read_int(j, "n_classes");
    p.ref_class = record.read_int(j, "ref_class");
    p.non_ref = j.np.attr("asarray")(record.entry("non_ref_classes"), nb::arg("dtype") = j.np.attr("int64"));
    p.beta_mean = as_array(j, record.entry("beta_mean"));
    p.beta_cov_chol = as_array(j, record.entry("beta_cov_chol"));
    check_classes(p.n_classes, p.ref_class, p.non_ref, p.beta_mean, p.beta_cov_chol);
    check_coefficients(j, p.beta_mean, p.beta_cov_chol, true);
    return p;
}

// ---------------------------------------------------------------- writers

nb::object int64_scalar(const Jax &j, nb::handle value) {
    return j.np.attr("array")(value, nb::arg("dtype") = j.np.attr("int64"));
}

nb::object float64_scalar(const Jax &j, nb::handle value) {
    return j.np.attr("array")(value, nb::arg("dtype") = j.np.attr("float64"));
}

nb::object backend_tag(const Jax &j) {
    return j.np.attr("array")(kBackend, nb::arg("dtype") = nb::handle((PyObject *) &PyBaseObject_Type));
}

namespace {

nb::object make_model(Function &self, nb::handle params) {
    return global(self, "KovaniModel")(nb::arg("model_type") = kModelType, nb::arg("params") = params);
}

}  // namespace

nb::object fit_record(Function &self, const Jax &j, const FitEntries &e) {
    nb::dict values;
    values["backend"] = backend_tag(j);
    values["n_classes"] = int64_scalar(j, nb::int_(e.n_classes));
    values["label_base"] = int64_scalar(j, e.label_base);
    values["ref_class"] = int64_scalar(j, nb::int_(e.ref_class));
    values["non_ref_classes"] = e.non_ref;
    values["beta_mean"] = e.beta_mean;
    values["beta_cov_chol"] = e.beta_cov_chol;
    values["w_loc"] = float64_scalar(j, e.w_loc);
    values["w_scale"] = float64_scalar(j, e.w_scale);
    values["b_loc"] = float64_scalar(j, e.b_loc);
    values["b_scale"] = float64_scalar(j, e.b_scale);
    values["rng_seed"] = int64_scalar(j, e.rng_seed);
    values["learning_rate"] = float64_scalar(j, e.learning_rate);
    values["num_steps"] = int64_scalar(j, e.num_steps);
    values["class_counts"] = e.class_counts;
    nb::dict params;
    for (const char *key : kKeys)
        params[key] = values[key];
    return make_model(self, params);
}

nb::object updated_record(Function &self, const Jax &j, nb::handle model, long long n_classes, nb::handle non_ref,
                          nb::handle beta_mean, nb::handle beta_cov_chol, nb::handle class_counts) {
    nb::object old_params = model.attr("params");
    nb::object params = PyDict_Check(old_params.ptr()) ? nb::steal(PyDict_Copy(old_params.ptr()))
                                                       : nb::handle((PyObject *) &PyDict_Type)(old_params);
    if (!params.is_valid())
        throw nb::python_error();
    const std::array<nb::object, kUpdatedKeys.size()> values = {
        backend_tag(j), int64_scalar(j, nb::int_(n_classes)), nb::borrow(non_ref), nb::borrow(beta_mean),
        nb::borrow(beta_cov_chol), nb::borrow(class_counts)};
    for (size_t i = 0; i < kUpdatedKeys.size(); ++i)
        params[kUpdatedKeys[i]] = values[i];
    return make_model(self, params);
}

}  // namespace kovani::model
