// Times the bare product X beta of Eigen, the floor under one energy
// evaluation of the sampler. Built by run.py with the module's compiler
// flags, so that both use the same Eigen kernels.
//
// usage: bare_matvec ROWS COLS ROUNDS
// prints the median over ROUNDS batches of the time of one product, in ns.
#include <Eigen/Dense>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ROWS COLS ROUNDS\n", argv[0]);
        return 2;
    }
    const Eigen::Index rows = std::atol(argv[1]);
    const Eigen::Index cols = std::atol(argv[2]);
    const int rounds = std::atoi(argv[3]);
    const Eigen::MatrixXd X = Eigen::MatrixXd::Random(rows, cols);
    Eigen::VectorXd beta = Eigen::VectorXd::Random(cols);
    Eigen::VectorXd yp(rows);
    // A batch of about 15 ms; beta changes between products so that none
    // can be skipped, and one entry of each product is kept.
    const long batch = std::max(1L, static_cast<long>(1e8 / (rows * cols + 100.0)));
    double sink = 0.0;
    std::vector<double> per_product;
    for (int r = 0; r <= rounds; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        for (long i = 0; i < batch; ++i) {
            beta[i % cols] += 1e-12;
            yp.noalias() = X * beta;
            sink += yp[i % rows];
        }
        const auto t1 = std::chrono::steady_clock::now();
        // The first batch warms caches and is not counted.
        if (r > 0) per_product.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / batch);
    }
    std::nth_element(per_product.begin(), per_product.begin() + per_product.size() / 2,
                     per_product.end());
    std::printf("%.3f\n", per_product[per_product.size() / 2]);
    return sink == 0.123 ? 1 : 0;
}
