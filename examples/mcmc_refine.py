"""Recover a cubic from noisy samples with the tournament MCMC search.

Run from a build tree, e.g. `PYTHONPATH=build python3 examples/mcmc_refine.py`.
"""
import numpy as np

import qorv_core

rng = np.random.default_rng(7)
true_coef = np.array([0.5, -1.0, 0.0, 2.0])
x = np.linspace(-1.0, 1.0, 400)
X = x[:, None] ** np.arange(true_coef.size)
y = X @ true_coef + 0.05 * rng.normal(size=x.size)

result = qorv_core.TournamentMCMC(n_chains=16, n_deep=3000, seed=1).fit(X, y)

eps = 0.4 * qorv_core.mad(y)
hit_ratio = qorv_core.compute_sr(X @ result.beta_mcmc, y, eps)
print(f"energy      {result.energy:.4f}")
print(f"hit ratio   {hit_ratio:.3f} (tolerance {eps:.4f})")
print(f"r_heat      {result.gibbs.r_heat:.4f}")
print("coefficients (fitted vs true):")
for p, (fit, true) in enumerate(zip(result.beta_mcmc, true_coef)):
    print(f"  x^{p}: {fit:+.4f}  {true:+.4f}")
