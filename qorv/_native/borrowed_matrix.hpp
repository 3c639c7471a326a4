// Matrix arguments of the fits: a C-ordered float64 NumPy array is read in
// place; anything else is converted once, with the usual rules of pybind11's
// Eigen conversion, into row-major storage.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "fitting.hpp"

namespace qorv {

class RowMajorInput {
public:
    // Reads `src` in place when it is an aligned, C-contiguous, one- or
    // two-dimensional ndarray of native float64 (one dimension: m x 1).
    bool borrow(pybind11::handle src) {
        namespace py = pybind11;
        using py::detail::npy_api;
        if (!py::array_t<double>::check_(src)) return false;
        const auto array = py::reinterpret_borrow<py::array>(src);
        constexpr int needed = npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy_api::NPY_ARRAY_ALIGNED_;
        if ((py::detail::array_proxy(src.ptr())->flags & needed) != needed) return false;
        if (array.ndim() != 1 && array.ndim() != 2) return false;
        rows_ = array.shape(0);
        cols_ = array.ndim() == 2 ? array.shape(1) : 1;
        data_ = static_cast<const double*>(array.data());
        owner_ = array;
        return true;
    }

    void own(RowMatrix&& copy) { copy_ = std::move(copy); }

    Eigen::Map<const RowMatrix> view() const {
        if (owner_) return {data_, rows_, cols_};
        return {copy_.data(), copy_.rows(), copy_.cols()};
    }

private:
    pybind11::object owner_;
    const double* data_ = nullptr;
    Index rows_ = 0;
    Index cols_ = 0;
    RowMatrix copy_;
};

}  // namespace qorv

namespace pybind11::detail {

// Same signature text as a MatrixXd argument ("[m, n]").
template <>
struct type_caster<qorv::RowMajorInput> {
    PYBIND11_TYPE_CASTER(qorv::RowMajorInput, make_caster<qorv::Matrix>::name);

    bool load(handle src, bool convert) {
        if (value.borrow(src)) return true;
        make_caster<qorv::RowMatrix> copy;
        if (!copy.load(src, convert)) return false;
        value.own(cast_op<qorv::RowMatrix&&>(std::move(copy)));
        return true;
    }
};

}  // namespace pybind11::detail
