"""Fit a noisy cubic with a second-derivative smoothness penalty.

Run from a build: PYTHONPATH=build python3 examples/fit_polynomial.py
"""
import numpy as np

import qorv_core

true_beta = np.array([0.5, -1.0, 2.0, -0.8])  # 0.5 - x + 2 x^2 - 0.8 x^3
x_min, x_max = -1.0, 2.0

rng = np.random.default_rng(7)
x = rng.uniform(x_min, x_max, size=200)
y = qorv_core.design_matrix_1d(3, x) @ true_beta + rng.normal(scale=0.1, size=x.size)

Phi = qorv_core.design_matrix_1d(3, x)
_, R2 = qorv_core.smoothness_penalty_matrices_1d(3, x_min, x_max)

gammas = (0.0, 1e-4, 1e-2)
fits = [qorv_core.fit_regularized_linear(Phi, y, R2=R2, gamma2=g) for g in gammas]
print(f"{'':6}{'true':>10}" + "".join(f"{'gamma2=' + format(g, 'g'):>16}" for g in gammas))
for p, b in enumerate(true_beta):
    print(f"x^{p:<4}{b:10.4f}" + "".join(f"{f[p]:16.4f}" for f in fits))

for g, f in zip(gammas, fits):
    rms = np.sqrt(np.mean((Phi @ f - y) ** 2))
    print(f"gamma2={g:g}: residual rms {rms:.4f}, roughness b'R2b {f @ R2 @ f:.3f}")
