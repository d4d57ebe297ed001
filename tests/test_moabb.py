"""The tangent-space pipeline in MOABB's within-session evaluation, on MOABB's offline fake
dataset (random signals with motor-imagery events: nothing is downloaded)."""

import numpy as np
import pytest

pytest.importorskip("moabb", reason="MOABB is not installed (pip install 'kovani_bci[moabb]')")
pytest.importorskip("pyriemann")

import moabb  # noqa: E402
from moabb.datasets.fake import FakeDataset  # noqa: E402
from moabb.evaluations import WithinSessionEvaluation  # noqa: E402
from moabb.paradigms import LeftRightImagery  # noqa: E402
from pyriemann.estimation import Covariances  # noqa: E402
from pyriemann.tangentspace import TangentSpace  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402

from kovani_bci.estimator import KovaniSoftmaxClassifier  # noqa: E402

N_SUBJECTS, N_TRIALS, N_FOLDS = 6, 60, 5


@pytest.mark.filterwarnings("ignore::FutureWarning", "ignore::DeprecationWarning",
                            "ignore::UserWarning")
def test_within_session_evaluation_on_the_fake_dataset(tmp_path):
    moabb.set_log_level("ERROR")
    dataset = FakeDataset(event_list=["left_hand", "right_hand"], n_sessions=1, n_runs=1,
                          n_subjects=N_SUBJECTS, n_events=N_TRIALS, duration=200, seed=7)
    evaluation = WithinSessionEvaluation(paradigm=LeftRightImagery(), datasets=[dataset],
                                         overwrite=True, hdf5_path=str(tmp_path),
                                         random_state=0)
    pipeline = make_pipeline(Covariances(estimator="oas"), TangentSpace(metric="riemann"),
                             KovaniSoftmaxClassifier(num_steps=5, random_state=0))
    results = evaluation.process({"kovani": pipeline})

    assert sorted(results["subject"].astype(int)) == list(range(1, N_SUBJECTS + 1))
    assert set(results["pipeline"]) == {"kovani"}
    assert (results["samples"] == N_TRIALS).all() and (results["n_classes"] == 2).all()
    scores = results["score"].to_numpy(dtype=float)          # ROC AUC, mean over folds
    assert np.all((scores >= 0) & (scores <= 1))
    # The signals carry no class information, so the AUC sits at chance: a fold's AUC on
    # 6 + 6 test trials has standard deviation sqrt(13 / 432) under that null.
    se = np.sqrt(13 / 432) / np.sqrt(N_FOLDS * N_SUBJECTS)
    assert abs(scores.mean() - 0.5) < 4 * se
