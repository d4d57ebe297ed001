// One online step of the classifier's race of adaptation rates in one compiled call: the
// fixed-prior update of one rate's posterior, the running update of the other's, and the
// prediction of the batch by the rate whose prediction the live loop has not made. Run
// apart, they are three calls, and between calls on a live loop's CPU the caches go cold;
// a one-trial step then costs more in calls than in arithmetic.
//
// Each part reads, checks and finishes on the host exactly as its published function does
// (the fixed-prior update, kovani_softmax_update, kovani_softmax_predict_proba), in this
// order; only their cores are traced together. Where any part would not take its
// CPU form (an accelerator, a replaced kernel, the plug-in prediction, a batch too large
// for the reduced form), the function returns None before any core runs, and the caller
// calls the published functions.
#include "learning.h"
#include "model/proba.h"
#include "model/update.h"

#include <cstring>
#include <string>
#include <vector>

namespace kovani::learning {
namespace {

enum RaceArg { ONCE, SWEEPS, X, Y, SCORED, NUM_POSTERIOR_SAMPLES, RNG_SEED, SOFTMAX };

// The parts of the race's core, each a core of its own; their parameters are the race
// core's, each name prefixed with its part's.
struct Part {
    std::string prefix;
    const Core *core;
};

const std::vector<Part> &parts() {
    static const std::vector<Part> all = {{"once.", &model::reduced_update_core(true)},
                                          {"sweeps.", &model::reduced_update_core(false)},
                                          {"proba.", &model::proba_core}};
    return all;
}

// The names outlive every call (CoreParam holds a pointer to them).
const std::vector<std::string> &prefixed_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        for (const Part &part : parts())
            for (const CoreParam &p : part.core->params)
                out.push_back(part.prefix + p.name);
        return out;
    }();
    return names;
}

const Core &race_core();

// The arrays of one step are a few hundred numbers each, and jit's dispatch costs about as
// much per array argument as the part's arithmetic: the host's arrays travel packed, one
// buffer per dtype, with a static layout of (parameter index, buffer, offset, size, shape)
// that puts each back at its parameter's place. The traced values are the same arrays.
struct Packed {
    nb::object layout, buffers;
};

Packed pack(const Jax &j, std::vector<CoreArg> &args) {
    const std::vector<std::string> &names = prefixed_names();
    nb::object ndarray = j.np.attr("ndarray");
    // The host's arrays by dtype: (argument, parameter index) per array.
    nb::list dtypes;
    std::vector<std::vector<std::pair<CoreArg *, size_t>>> groups;
    for (CoreArg &arg : args) {
        if (!arg.second.type().is(ndarray))
            continue;
        size_t index = 0;
        while (index < names.size() && names[index].c_str() != arg.first)
            ++index;
        if (index == names.size() || race_core().params[index].is_static)
            continue;
        nb::object dtype = arg.second.attr("dtype");
        size_t g = 0;
        while (g < groups.size() && !dtype.equal(dtypes[g]))
            ++g;
        if (g == groups.size()) {
            dtypes.append(dtype);
            groups.emplace_back();
        }
        groups[g].push_back({&arg, index});
    }
    // An array alone in its dtype gains nothing from a buffer: it travels as it is.
    nb::list layout, buffers;
    for (const auto &group : groups) {
        if (group.size() < 2)
            continue;
        nb::list members;
        long long filled = 0;
        for (const auto &[arg, index] : group) {
            const long long size = nb::cast<long long>(arg->second.attr("size"));
            layout.append(nb::make_tuple(index, nb::len(buffers), filled, size, arg->second.attr("shape")));
            members.append(arg->second);
            filled += size;
            arg->second = nb::none();
        }
        buffers.append(j.np.attr("concatenate")(members, nb::arg("axis") = nb::none()));
    }
    return {nb::tuple(layout), nb::tuple(buffers)};
}

// Puts back the packed arrays of the part whose parameters start at `first` among the
// race core's, into `values` (the part's arguments).
void unpack(const Jax &j, Args &values, size_t first, nb::handle layout, nb::handle buffers) {
    for (nb::handle entry : layout) {
        const size_t index = nb::cast<size_t>(entry[0]);
        if (index < first || index >= first + values.size())
            continue;
        const long long offset = nb::cast<long long>(entry[2]), size = nb::cast<long long>(entry[3]);
        nb::object flat = j.lax().attr("slice")(buffers[entry[1]], nb::make_tuple(offset), nb::make_tuple(offset + size));
        values[index - first] = flat.attr("reshape")(entry[4]);
    }
}

// One part on `values` (its arguments in its parameter order).
nb::object run_part(Function &self, const Part &part, Args values) {
    return part.core->body(self, CoreArgs(part.core->params, values));
}

// `part` on `values` (with its packed arrays still in `buffers`), as a conditional on
// `previous`, the output of the part before it: taken unless the first entry of
// `previous` is NaN (that part's finiteness check then refuses the step anyway, and this
// part gives zeros). The buffers are unpacked inside the branch, so that the part's
// first operations wait for the part before it.
nb::object run_after(Function &self, const Jax &j, nb::handle previous, const Part &part, const Args &values,
                     size_t first, nb::handle layout, nb::handle buffers) {
    std::vector<size_t> arrays;
    std::vector<std::string> names;
    nb::list operands;
    for (size_t k = 0; k < values.size(); ++k)
        if (!part.core->params[k].is_static && !values[k].is_none()) {
            arrays.push_back(k);
            names.push_back(part.core->params[k].name);
            operands.append(values[k]);
        }
    names.push_back("packed");
    operands.append(buffers);
    nb::object layout_kept = nb::borrow(layout);
    nb::object taken = closure(self, "part", names, [&part, values, arrays, first, layout_kept](Function &f, Args &ops) {
        Args v = values;
        for (size_t i = 0; i < arrays.size(); ++i)
            v[arrays[i]] = ops[i];
        unpack(Jax(f), v, first, layout_kept, ops.back());
        return run_part(f, part, v);
    });
    nb::object shapes = j.jax.attr("eval_shape")(*nb::tuple(nb::make_tuple(taken) + nb::tuple(operands)));
    nb::object zeros = j.jax.attr("tree").attr("map")(j.jnp.attr("zeros_like"), shapes);
    nb::object skipped = closure(self, "skipped", names, [zeros](Function &, Args &) { return zeros; });
    nb::object head = j.jax.attr("tree").attr("leaves")(previous)[0].attr("ravel")()[0];
    nb::object pred = head.attr("__eq__")(head);
    return j.lax().attr("cond")(*nb::tuple(nb::make_tuple(pred, taken, skipped) + nb::tuple(operands)));
}

// The parts run one after the other. Traced side by side, their first operations are all
// ready at once, and XLA's CPU runtime then hands half of them to a worker thread: for
// parts of microseconds the hand-off costs more than the parts. So each part after the
// first waits for the output of the one before (run_after).
nb::object race_body(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object layout = a["layout"], buffers = a["packed"];
    nb::list out;
    size_t first = 0;
    for (const Part &part : parts()) {
        Args values;
        for (const CoreParam &p : part.core->params)
            values.push_back(a[(part.prefix + p.name).c_str()]);
        if (nb::len(out) == 0) {
            unpack(j, values, first, layout, buffers);
            out.append(run_part(self, part, values));
        } else {
            out.append(run_after(self, j, out[nb::len(out) - 1], part, values, first, layout, buffers));
        }
        first += values.size();
    }
    return nb::tuple(out);
}

const Core &race_core() {
    static const Core core = [] {
        std::vector<CoreParam> params;
        size_t i = 0;
        for (const Part &part : parts())
            for (const CoreParam &p : part.core->params)
                params.push_back({prefixed_names()[i++].c_str(), p.is_static});
        params.push_back({"layout", true});
        params.push_back({"packed", false});
        return Core{"_race_core", params, race_body};
    }();
    return core;
}

// The arguments of part `index`, given as its own core takes them, under the race core's
// names.
void add_part(std::vector<CoreArg> &args, size_t index, const std::vector<CoreArg> &part) {
    size_t offset = 0;
    for (size_t k = 0; k < index; ++k)
        offset += parts()[k].core->params.size();
    const std::vector<CoreParam> &params = parts()[index].core->params;
    for (size_t k = 0; k < part.size(); ++k) {
        // In declared order as a rule: one comparison each then.
        size_t i = k < params.size() && std::strcmp(part[k].first, params[k].name) == 0 ? k : 0;
        while (i < params.size() && std::strcmp(part[k].first, params[i].name) != 0)
            ++i;
        if (i == params.size())
            raise(PyExc_RuntimeError, (std::string("_race_core: no parameter ") + part[k].first).c_str());
        args.push_back({prefixed_names()[offset + i].c_str(), part[k].second});
    }
}

nb::object race(Function &self, Args &a) {
    Jax j(self);
    const model::Update once = model::read_fixed_prior_update(j, a[ONCE], a[X], a[Y]);
    auto working_type = [&](nb::handle Xn) { return global(self, "_jax_dtype_from_numpy")(Xn); };
    const model::Update sweeps = model::read_running_update(j, a[SWEEPS], a[X], a[Y], working_type);
    const model::UpdateInputs in_once = model::sweep_inputs(j, once), in_sweeps = model::sweep_inputs(j, sweeps);
    const model::Kernels kernels = model::module_kernels(self);
    if (!model::reduced_on_host(in_once, true, kernels) || !model::reduced_on_host(in_sweeps, false, kernels) ||
        a[NUM_POSTERIOR_SAMPLES].equal(nb::int_(1)))
        return nb::none();
    model::ProbaCall scored = model::proba_call(self, j, a[SCORED], a[X], a[NUM_POSTERIOR_SAMPLES], a[RNG_SEED],
                                                a[SOFTMAX], nb::none());
    if (!scored.where.on_host || !scored.where.context.is_none())
        return nb::none();
    std::vector<CoreArg> args;
    add_part(args, 0, model::reduced_core_args(j, in_once));
    add_part(args, 1, model::reduced_core_args(j, in_sweeps));
    add_part(args, 2, scored.args);
    const Packed packed = pack(j, args);
    args.push_back({"layout", packed.layout});
    args.push_back({"packed", packed.buffers});
    nb::object out = call_core(self, race_core(), args);
    nb::object once_model =
        model::updated_model(self, j, a[ONCE], once, model::reduced_core_result(j, in_once, out[0]));
    nb::object sweeps_model =
        model::updated_model(self, j, a[SWEEPS], sweeps, model::reduced_core_result(j, in_sweeps, out[1]));
    return nb::make_tuple(once_model, sweeps_model, model::proba_result(j, scored, out[2]));
}

}  // namespace

Declaration race_update() {
    return {"_race_update",
            {{"once_model", "KovaniModel"},
             {"sweeps_model", "KovaniModel"},
             {"X", "np.ndarray"},
             {"y", "np.ndarray"},
             {"scored_model", "KovaniModel"},
             {"num_posterior_samples", "int", Conv::Int},
             {"rng_seed", "int", Conv::Int},
             {"softmax", "Callable"}},
            "tuple[KovaniModel, KovaniModel, np.ndarray] | None",
            "One step of a race of adaptation rates, where it runs on the CPU.\n"
            "\n"
            "Returns (kovani_bci.models.kovani_softmax.kovani_softmax_update_fixed_prior(once_model,\n"
            "X, y), kovani_softmax_update(sweeps_model, X, y),\n"
            "kovani_softmax_predict_proba(scored_model, X, num_posterior_samples, rng_seed)) with\n"
            "the probabilities' softmax `softmax`, equal up to rounding, from one compiled call;\n"
            "None where a part would not take its CPU form.",
            race};
}

}  // namespace kovani::learning
