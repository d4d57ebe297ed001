"""Independent NumPy float64 versions of the model's maths, the oracle of the tests.

Written from the equations, not from the implementation: plain loops over sweeps and
classes, explicit inverses where they are clearest.
"""

import numpy as np


def expected_omega(c):
    """E[PG(1, c)] = tanh(c/2) / (2c), with c floored at float64 eps."""
    c1 = np.maximum(np.asarray(c, np.float64), np.finfo(np.float64).eps)
    return 0.5 / c1 * np.tanh(0.5 * c1)


def pg_binary_update(Xa, z, offset, m0, prec0, m, S):
    """One Polya-Gamma step of a binary logistic model with offset; returns (mean, cov)."""
    Xa, z, offset, m0, prec0, m, S = (np.asarray(a, np.float64) for a in (Xa, z, offset, m0, prec0, m, S))
    eps = np.finfo(np.float64).eps
    psi_mean = Xa @ m - offset
    psi_var = np.einsum("nd,de,ne->n", Xa, S, Xa)
    omega = expected_omega(np.sqrt(psi_mean**2 + psi_var + eps))
    prec = prec0 + (Xa * omega[:, None]).T @ Xa
    b = prec0 @ m0 + Xa.T @ (z - 0.5 + omega * offset)
    cov = np.linalg.inv(prec)
    return cov @ b, cov


def augment(X):
    X = np.asarray(X, np.float64)
    return np.hstack([X, np.ones((X.shape[0], 1))])


def prior(n_features, w_loc, w_scale, b_loc, b_scale):
    """Prior mean and precision of one class's (weights, intercept)."""
    m = np.r_[np.full(n_features, w_loc, np.float64), b_loc]
    prec = np.diag(np.r_[np.full(n_features, w_scale**-2.0), b_scale**-2.0])
    return m, prec


def class_offset(Xa, means, row):
    """log sum_{c != class of row} exp(logit_c), the reference logit 0 included."""
    eta = Xa @ means.T
    all_logits = np.hstack([eta, np.zeros((Xa.shape[0], 1))])
    top = all_logits.max(axis=1, keepdims=True)
    logZ = top[:, 0] + np.log(np.exp(all_logits - top).sum(axis=1))
    p = np.exp(eta[:, row] - logZ)
    return logZ + np.log(np.maximum(1.0 - p, np.finfo(np.float64).eps))


def class_bookkeeping(y0, n_classes):
    counts = np.bincount(y0, minlength=n_classes)
    ref = int(np.argmax(counts))
    return counts, ref, np.array([k for k in range(n_classes) if k != ref])


def fit(X, y, n_classes, label_base, w_loc, w_scale, b_loc, b_scale, learning_rate, num_steps):
    """Returns (ref_class, non_ref, counts, means, covariances)."""
    y0 = np.asarray(y).astype(np.int64) - int(label_base)
    counts, ref, non_ref = class_bookkeeping(y0, n_classes)
    Xa = augment(X)
    m0, prec0 = prior(Xa.shape[1] - 1, w_loc, w_scale, b_loc, b_scale)
    R = n_classes - 1
    means, covs = fixed_prior_sweeps(Xa, y0, non_ref, [m0] * R, [prec0] * R, np.tile(m0, (R, 1)),
                                     np.tile(np.linalg.inv(prec0), (R, 1, 1)), learning_rate, num_steps)
    return ref, non_ref, counts, means, covs


def fixed_prior_sweeps(Xa, y0, non_ref, prior_means, prior_precs, means, covs, a, num_steps):
    """Damped sweeps over the classes, row i's prior fixed at (prior_means[i], prior_precs[i]);
    the running approximation (means, covs) starts as given. Returns the final pair."""
    means, covs = np.array(means, np.float64), np.array(covs, np.float64)
    for _ in range(num_steps):
        for i, k in enumerate(non_ref):
            offset = class_offset(Xa, means, i)
            m_new, S_new = pg_binary_update(Xa, (y0 == k).astype(float), offset, prior_means[i], prior_precs[i],
                                            means[i], covs[i])
            means[i] = (1 - a) * means[i] + a * m_new
            covs[i] = (1 - a) * covs[i] + a * S_new
    return means, covs


def grown(record, X, y):
    """The batch and the record's rows after class growth: every class index below the new
    class count that neither is the reference nor has a row gets one at the hyper-prior, in
    ascending order. Returns (Xa, y0, n_classes, non_ref, counts, means, covariances)."""
    label_base, ref = int(record["label_base"]), int(record["ref_class"])
    y0 = np.asarray(y).astype(np.int64) - label_base
    n_classes = max(int(record["n_classes"]), int(y0.max()) + 1)
    non_ref = [int(k) for k in record["non_ref_classes"]]
    means = [np.array(m, np.float64) for m in record["beta_mean"]]
    covs = [np.asarray(L, np.float64) @ np.asarray(L, np.float64).T for L in record["beta_cov_chol"]]
    counts = np.zeros(n_classes, np.int64)
    counts[:len(record["class_counts"])] = record["class_counts"]
    counts += np.bincount(y0, minlength=n_classes)

    Xa = augment(X)
    m_hyper, prec_hyper = prior(Xa.shape[1] - 1, float(record["w_loc"]), float(record["w_scale"]),
                                float(record["b_loc"]), float(record["b_scale"]))
    for k in range(n_classes):
        if k != ref and k not in non_ref:
            non_ref.append(k)
            means.append(m_hyper.copy())
            covs.append(np.linalg.inv(prec_hyper))
    return Xa, y0, n_classes, non_ref, counts, np.array(means), np.array(covs)


def update(record, X, y):
    """Online update of a record (a dict of the model's entries) with one batch.

    Returns (n_classes, non_ref, counts, means, factors). Each class step takes the row's
    running estimate as its prior; the factors are those of the final covariances.
    """
    Xa, y0, n_classes, non_ref, counts, means, covs = grown(record, X, y)
    a = float(record["learning_rate"])
    for _ in range(int(record["num_steps"])):
        for i, k in enumerate(non_ref):
            offset = class_offset(Xa, means, i)
            S = covs[i]
            m_new, S_new = pg_binary_update(Xa, (y0 == k).astype(float), offset, means[i], np.linalg.inv(S),
                                            means[i], S)
            means[i] = (1 - a) * means[i] + a * m_new
            covs[i] = (1 - a) * S + a * S_new
    return n_classes, np.array(non_ref), counts, means, np.linalg.cholesky(covs)


def update_fixed_prior(record, X, y):
    """Update whose every sweep keeps the record's posterior as the prior of each class.

    Row j's prior is N(mean_j, L_j L_j^T) as stored (an added class: the hyper-prior); the
    sweeps refine a running approximation that starts there, as the fit does from the
    hyper-prior. Returns (n_classes, non_ref, counts, means, covariances).
    """
    Xa, y0, n_classes, non_ref, counts, prior_means, prior_covs = grown(record, X, y)
    prior_precs = [np.linalg.inv(S) for S in prior_covs]
    means, covs = fixed_prior_sweeps(Xa, y0, non_ref, prior_means, prior_precs, prior_means, prior_covs,
                                     float(record["learning_rate"]), int(record["num_steps"]))
    return n_classes, np.array(non_ref), counts, means, covs


def evidence(X, y, label_base, non_ref, means, covs, w_loc, w_scale, b_loc, b_scale):
    """The variational bound of the posterior rows N(means[j], covs[j]) on the trials.

    Per row, the Jaakkola-Jordan form of the Polya-Gamma bound at its optimal c_t:
    sum_t (z_t - 1/2) E[psi_t] - log(2 cosh(c_t / 2)), c_t^2 = E[psi_t^2], minus the KL
    divergence of the row's Gaussian from the prior; offsets at the posterior means.
    """
    Xa = augment(X)
    y0 = np.asarray(y).astype(np.int64) - int(label_base)
    m0, prec0 = prior(Xa.shape[1] - 1, w_loc, w_scale, b_loc, b_scale)
    V0 = np.linalg.inv(prec0)
    logits = np.hstack([Xa @ np.asarray(means, np.float64).T, np.zeros((len(Xa), 1))])
    total = 0.0
    for j, k in enumerate(non_ref):
        m, S = np.asarray(means[j], np.float64), np.asarray(covs[j], np.float64)
        rest = np.delete(logits, j, axis=1)
        offset = np.log(np.exp(rest).sum(axis=1))
        psi = Xa @ m - offset
        c = np.sqrt(psi**2 + np.einsum("nd,de,ne->n", Xa, S, Xa))
        total += np.sum(((y0 == k) - 0.5) * psi - np.log(2 * np.cosh(c / 2)))
        d = len(m)
        total -= 0.5 * (np.trace(prec0 @ S) + (m - m0) @ prec0 @ (m - m0) - d
                        + np.linalg.slogdet(V0)[1] - np.linalg.slogdet(S)[1])
    return total
