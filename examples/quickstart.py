"""Score two candidate models of noisy data by minimum description length."""
import numpy as np

import qorv_core

rng = np.random.default_rng(0)
x = np.linspace(-1.0, 1.0, 200)
y = 1.0 - 2.0 * x + 0.5 * x**3 + 0.05 * rng.standard_normal(x.size)

for degree in (1, 3):
    coef = np.polynomial.polynomial.polyfit(x, y, degree)
    yp = np.polynomial.polynomial.polyval(x, coef)
    score = qorv_core.mdl_score(yp, y, k=degree + 1)
    print(f"degree {degree}: MDL score {score:.4f}")
