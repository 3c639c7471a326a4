// Array arguments of the fits: a C-ordered float64 NumPy array is read in
// place; anything else is converted once, with the usual rules of pybind11's
// Eigen conversion, into storage of the fits' layout.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "fitting.hpp"

namespace qorv {

// Plain is RowMatrix (a one-dimensional array is m x 1) or Vector (an array
// of shape (m,) or (m, 1)).
template <class Plain>
class BorrowedInput {
public:
    // Reads `src` in place when it is an aligned, C-contiguous ndarray of
    // native float64 of a shape that Plain accepts.
    bool borrow(pybind11::handle src) {
        namespace py = pybind11;
        using py::detail::npy_api;
        if (!py::array_t<double>::check_(src)) return false;
        const auto array = py::reinterpret_borrow<py::array>(src);
        constexpr int needed = npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy_api::NPY_ARRAY_ALIGNED_;
        if ((py::detail::array_proxy(src.ptr())->flags & needed) != needed) return false;
        const bool vector = Plain::IsVectorAtCompileTime;
        const Index cols = array.ndim() == 2 ? array.shape(1) : 1;
        if (array.ndim() < 1 || array.ndim() > 2 || (vector && cols != 1)) return false;
        rows_ = array.shape(0);
        cols_ = cols;
        data_ = static_cast<const double*>(array.data());
        owner_ = array;
        return true;
    }

    void own(Plain&& copy) { copy_ = std::move(copy); }

    Eigen::Map<const Plain> view() const {
        if (owner_) return {data_, rows_, cols_};
        return {copy_.data(), copy_.rows(), copy_.cols()};
    }

private:
    pybind11::object owner_;
    const double* data_ = nullptr;
    Index rows_ = 0;
    Index cols_ = 0;
    Plain copy_;
};

using MatrixInput = BorrowedInput<RowMatrix>;
using VectorInput = BorrowedInput<Vector>;

}  // namespace qorv

namespace pybind11::detail {

// The same signature text as the plain argument ("[m, n]" for a matrix,
// "[m, 1]" for a vector).
template <class Plain, class Shown>
struct borrowed_input_caster {
    PYBIND11_TYPE_CASTER(qorv::BorrowedInput<Plain>, make_caster<Shown>::name);

    bool load(handle src, bool convert) {
        if (value.borrow(src)) return true;
        make_caster<Plain> copy;
        if (!copy.load(src, convert)) return false;
        value.own(cast_op<Plain&&>(std::move(copy)));
        return true;
    }
};

template <>
struct type_caster<qorv::MatrixInput> : borrowed_input_caster<qorv::RowMatrix, qorv::Matrix> {};

template <>
struct type_caster<qorv::VectorInput> : borrowed_input_caster<qorv::Vector, qorv::Vector> {};

}  // namespace pybind11::detail
