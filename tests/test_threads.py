"""Eight threads calling fit, update and prediction at once on shared models and inputs:
every result equals the serial one, and no model or input array is ever modified.

Every shared array is made read-only, so a write anywhere raises instead of passing
unnoticed, and is compared with a private copy afterwards. The threaded round runs first,
while the compiled cores for its shapes are still cold, so that compilation races too.
"""

import threading

import numpy as np

from helpers import make_trials
from kovani_bci.kovani_io import KovaniModel
from kovani_bci.models.kovani_softmax import inference, learning

THREADS = 8
ROUNDS = 3


def frozen(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


def frozen_model(model):
    return KovaniModel(model_type=model.model_type, params={k: frozen(v) for k, v in model.params.items()})


def tasks(models, X, y, Xb, yb):
    """Named calls; shapes unlike the other test modules', so their cores start cold."""
    a, b = models
    return {
        "fit": lambda: learning.kovani_softmax_fit(X, y, 4, 1, 0.1, 1.5, -0.2, 2.0, 3, 0.8, 2),
        "update": lambda: learning.kovani_softmax_update(a, Xb, yb),
        "update_grow": lambda: learning.kovani_softmax_update(b, Xb, yb + 2),
        "proba": lambda: inference.kovani_softmax_predict_proba(a, Xb, 1, 0),
        "proba_mc": lambda: inference.kovani_softmax_predict_proba(b, Xb, 5, 11),
        "predict": lambda: inference.kovani_softmax_predict(a, Xb, 5, 12),
        "samples": lambda: inference.kovani_softmax_predict_samples(b, Xb, 4, 13),
    }


def outcome(result):
    if isinstance(result, KovaniModel):
        return {k: np.array(v) for k, v in result.params.items()}
    return np.array(result)


def assert_same(got, expected):
    if isinstance(expected, dict):
        assert list(got) == list(expected)
        for k in expected:
            np.testing.assert_array_equal(got[k], expected[k], err_msg=k)
    else:
        np.testing.assert_array_equal(got, expected)


def test_concurrent_calls_equal_serial_calls_and_modify_nothing():
    X, y0 = make_trials(23, 5, 4, seed=31)
    Xb, yb0 = make_trials(7, 5, 4, seed=32)
    X, y, Xb, yb = frozen(X), frozen(y0 + 1), frozen(Xb), frozen(yb0 + 1)
    models = [frozen_model(learning.kovani_softmax_fit(X, y, 4, 1, 0.0, 1.0, 0.0, 1.0, s, 1.0, 2)) for s in (0, 1)]
    inputs = {"X": X, "y": y, "Xb": Xb, "yb": yb}
    copies = {name: np.copy(a) for name, a in inputs.items()}
    model_copies = [{k: np.copy(v) for k, v in m.params.items()} for m in models]
    model_dicts = [(m.params, list(m.params.items())) for m in models]
    work = tasks(models, X, y, Xb, yb)

    results, errors = [], []
    barrier = threading.Barrier(THREADS)

    def worker(seed):
        order = np.random.default_rng(seed).permutation(list(work) * ROUNDS)
        barrier.wait()
        try:
            for name in order:
                results.append((name, outcome(work[name]())))
        except BaseException as e:  # noqa: BLE001 -- reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert len(results) == THREADS * ROUNDS * len(work)

    expected = {name: outcome(call()) for name, call in work.items()}
    for name, got in results:
        assert_same(got, expected[name])

    # Nothing shared was written: inputs, the models' dictionaries and their arrays.
    for name, a in inputs.items():
        assert not a.flags.writeable
        np.testing.assert_array_equal(a, copies[name])
    for model, (params, items), copy in zip(models, model_dicts, model_copies):
        assert model.params is params and list(params.items()) == items
        for k, v in params.items():
            assert not v.flags.writeable
            np.testing.assert_array_equal(v, copy[k])


def test_results_are_private_to_the_caller():
    # A result shares no memory with the model or the inputs: writing to it is allowed and
    # changes nothing else.
    X, y0 = make_trials(23, 5, 4, seed=31)
    model = frozen_model(learning.kovani_softmax_fit(frozen(X), frozen(y0), 4, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 2))
    new = learning.kovani_softmax_update(model, frozen(X[:7]), frozen(y0[:7]))
    for key in ("beta_mean", "beta_cov_chol", "class_counts", "non_ref_classes", "n_classes", "backend"):
        assert new.params[key].flags.writeable and not np.shares_memory(new.params[key], model.params[key])
    # Entries the update does not replace are the old record's objects.
    assert new.params["w_scale"] is model.params["w_scale"]
    for result in (inference.kovani_softmax_predict_proba(model, X, 1, 0),
                   inference.kovani_softmax_predict_proba(model, X, 3, 0),
                   inference.kovani_softmax_predict(model, X, 1, 0),
                   inference.kovani_softmax_predict_samples(model, X, 2, 0)):
        assert result.flags.writeable and not np.shares_memory(result, X)
        result[...] = 0


# -- the scikit-learn classifier shared by a decoding thread and a learning thread ----------

def run_together(*targets):
    """Run each callable in a thread of its own and return what they raised. Threads swap
    every few microseconds meanwhile, so that any window between two writes of a shared
    state is hit often."""
    import sys

    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as e:  # noqa: BLE001 -- returned to the test
            errors.append(e)

    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(before)
    return errors


def test_predictions_see_one_state_while_another_thread_adds_classes():
    from kovani_bci import KovaniSoftmaxClassifier

    X, y = make_trials(40, 3, 4, seed=41, separation=4.0)
    Xq = frozen(make_trials(5, 3, 4, seed=42)[0])
    calib = y < 2
    batches = [(X[y == c][:4], y[y == c][:4]) for c in (2, 3)]   # a new class each

    def fresh():
        return KovaniSoftmaxClassifier(num_steps=2, n_posterior_samples=3, random_state=0).fit(
            X[calib], y[calib])

    # Serially, every state the learner will publish, and what each predicts.
    clf = fresh()
    states = [clf.predict_proba(Xq)]
    for Xb, yb in batches:
        states.append(clf.partial_fit(Xb, yb).predict_proba(Xq))
        clf.sample_predictive(Xq, 2)            # compiled now, not under tight switching
    labels = [np.unique(np.concatenate([y[calib], *[b[1] for b in batches[:i]]]))
              for i in range(len(states))]

    seen = []
    for _ in range(20):
        clf = fresh()
        done = threading.Event()

        def learn():
            try:
                for Xb, yb in batches:
                    clf.partial_fit(Xb, yb)
            finally:
                done.set()

        def decode():
            while not done.is_set():
                seen.append((clf.predict_proba(Xq), clf.predict(Xq),
                             clf.sample_predictive(Xq, 2)))

        errors = run_together(learn, decode)
        assert not errors, errors
    assert seen
    predictions = [lab[np.argmax(p, axis=1)] for lab, p in zip(labels, states)]
    for proba, pred, draws in seen:
        # Each answer is exactly one published state's answer, never a mix of two.
        assert any(np.array_equal(p, proba) for p in states)
        assert any(np.array_equal(p, pred) for p in predictions)
        assert set(np.unique(draws).tolist()) <= set(labels[-1].tolist())


def test_concurrent_partial_fit_calls_are_all_absorbed():
    import pickle

    from sklearn.base import clone

    from kovani_bci import KovaniSoftmaxClassifier

    X, y = make_trials(320, 3, 5, seed=43, separation=3.0)
    calib = np.arange(20)
    clf = KovaniSoftmaxClassifier(num_steps=1, n_posterior_samples=1, random_state=0)
    clf.fit(X[calib], np.where(y[calib] < 2, y[calib], 0))    # two classes; the others come later
    streams = np.array_split(np.arange(20, 320), 4)            # 75 single-trial updates each
    barrier = threading.Barrier(len(streams))

    def learner(rows):
        def learn():
            barrier.wait()
            for i in rows:
                clf.partial_fit(X[i:i + 1], y[i:i + 1])
        return learn

    errors = run_together(*[learner(rows) for rows in streams])
    assert not errors, errors
    counts = dict(zip(clf.model_labels_.tolist(), clf.model_.params["class_counts"].tolist()))
    expected = np.bincount(np.concatenate([np.where(y[calib] < 2, y[calib], 0), y[20:]]))
    assert counts == dict(enumerate(expected.tolist()))
    assert clf.classes_.tolist() == [0, 1, 2, 3, 4]

    # The lock is not part of the state: copies pickle, clone and predict alike.
    copy = pickle.loads(pickle.dumps(clf))
    np.testing.assert_array_equal(copy.predict_proba(X[:5]), clf.predict_proba(X[:5]))
    copy.partial_fit(X[:2], y[:2])
    assert clone(clf).get_params() == clf.get_params()
