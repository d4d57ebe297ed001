"""The feature pipelines that turn raw EEG trials into the classifier's features.

One home for each, shared by the demo, the online decoder and the benchmarks, so that a
trial decoded live gets exactly the features it would get offline:

- ``"log-variance"``: the log-variance of each channel band-passed to the mu (8-13 Hz) and
  beta (13-30 Hz) bands (2 features per channel; 8 channels in the simulated session);
- ``"tangent-space"``: each trial's OAS-shrunk covariance matrix mapped to the tangent space
  at the Riemannian mean of the trials the pipeline was fitted on (the calibration block),
  ``n (n + 1) / 2`` features for ``n`` channels (22 in the simulated session: 253). Needs
  pyRiemann;
- ``"window-means"``: each channel's mean over ``WINDOWS`` consecutive windows of the trial,
  the ERP-style downsampled signal (10 features per channel), for evoked and slow potentials
  (blinks, readiness and slow cortical potentials) rather than rhythms: the recorded data
  sets' choice (``kovani-bci online --simulate --dataset Blink --features window-means``).

Both end in a ``StandardScaler``: every statistic (the tangent point, the means and scales)
is fixed when the pipeline is fitted, and ``transform`` then maps each new trial on its own.
"""

from __future__ import annotations

FEATURES = ("log-variance", "tangent-space", "window-means")
#: Windows per channel of the "window-means" features.
WINDOWS = 10

# Channels of the simulated sessions: a small montage for the band powers, and a common
# motor-imagery montage (BCI competition IV 2a) for the Riemannian features.
_CHANNELS = {"log-variance": 8, "tangent-space": 22, "window-means": 8}
TANGENT_SPACE_CHANNELS = _CHANNELS["tangent-space"]


def _check_name(name):
    if name not in FEATURES:
        raise ValueError(f"features must be one of {list(FEATURES)}, got {name!r}")


def channels_for(name) -> int:
    """The number of EEG channels the simulated session records for feature set ``name``."""
    _check_name(name)
    return _CHANNELS[name]


def n_features(name, n_channels) -> int:
    """How many features ``name`` makes from trials of ``n_channels`` channels."""
    _check_name(name)
    if name == "window-means":
        return WINDOWS * n_channels
    return 2 * n_channels if name == "log-variance" else n_channels * (n_channels + 1) // 2


def describe(name, n_channels) -> str:
    """One phrase saying what the features of ``name`` are, for summaries."""
    n = n_features(name, n_channels)
    if name == "log-variance":
        return f"{n} log-variance features (mu and beta band, {n_channels} channels)"
    if name == "window-means":
        return f"{n} window means ({WINDOWS} windows of each of {n_channels} channels)"
    return (f"{n} tangent-space features ({n_channels} channels: OAS covariance matrices "
            "mapped to the tangent space at their Riemannian mean over the calibration block)")


def make_featurizer(name, sfreq):
    """An unfitted scikit-learn pipeline from raw trials to standardised features.

    Parameters
    ----------
    name : {"log-variance", "tangent-space", "window-means"}
        The feature set.
    sfreq : float
        Sampling rate of the trials in Hz (the band-pass filters need it).

    Returns
    -------
    sklearn.pipeline.Pipeline
        ``fit(trials)`` on the calibration trials, then ``transform(trials)`` maps trials of
        shape ``(n_trials, n_channels, n_samples)`` to ``(n_trials, n_features)``.
    """
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import FunctionTransformer, StandardScaler

    _check_name(name)
    if not (isinstance(sfreq, (int, float)) and sfreq > 0):
        raise ValueError(f"sfreq must be a positive number of Hz, got {sfreq!r}")
    if name == "log-variance":
        from kovani_bci.datasets import log_variance_features

        steps = [FunctionTransformer(log_variance_features, kw_args={"sfreq": float(sfreq)})]
    elif name == "window-means":
        from kovani_bci.datasets import window_mean_features

        steps = [FunctionTransformer(window_mean_features, kw_args={"n_windows": WINDOWS})]
    else:
        from pyriemann.estimation import Covariances
        from pyriemann.tangentspace import TangentSpace

        steps = [Covariances(estimator="oas"), TangentSpace(metric="riemann")]
    return make_pipeline(*steps, StandardScaler())
