// Array arguments of the fits: a float64 NumPy array whose strides are
// positive whole doubles is read in place (a C- or Fortran-ordered matrix, a
// column of one); anything else (negative strides, a broadcast array's zero
// stride) is converted once, with the usual rules of pybind11's Eigen
// conversion, into storage of the fits' layout.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "fitting.hpp"

namespace qorv {

// What a fit reads: Plain is RowMatrix (a one-dimensional array is m x 1)
// or Vector (an array of shape (m,) or (m, 1)), read through View.
template <class Plain, class View>
class BorrowedInput {
public:
    // Reads `src` in place when it is an aligned ndarray of native float64 of
    // a shape that Plain accepts, with strides that View can follow.
    bool borrow(pybind11::handle src) {
        namespace py = pybind11;
        using py::detail::npy_api;
        if (!py::array_t<double>::check_(src)) return false;
        const auto array = py::reinterpret_borrow<py::array>(src);
        const int flags = py::detail::array_proxy(src.ptr())->flags;
        if ((flags & npy_api::NPY_ARRAY_ALIGNED_) == 0) return false;
        const bool vector = Plain::IsVectorAtCompileTime;
        const Index cols = array.ndim() == 2 ? array.shape(1) : 1;
        if (array.ndim() < 1 || array.ndim() > 2 || (vector && cols != 1)) return false;
        const Index row_stride = stride_in_doubles(array, 0);
        const Index col_stride = array.ndim() == 2 ? stride_in_doubles(array, 1) : 1;
        // A vector is read contiguously; a matrix through any two strides
        // that step forward. Eigen takes a stride of 0 for "the default", so
        // a broadcast dimension is copied; along a dimension of one entry
        // nothing is stepped, and its stride of 0 is harmless.
        const auto steps_forward = [](Index stride, Index extent) {
            return stride > 0 || (stride == 0 && extent <= 1);
        };
        if (vector ? row_stride != 1 && array.shape(0) > 1
                   : !steps_forward(row_stride, array.shape(0)) ||
                         !steps_forward(col_stride, cols))
            return false;
        rows_ = array.shape(0);
        cols_ = cols;
        row_stride_ = row_stride;
        col_stride_ = col_stride;
        data_ = static_cast<const double*>(array.data());
        owner_ = array;
        return true;
    }

    void own(Plain&& copy) { copy_ = std::move(copy); }

    View view() const {
        if (owner_) return make_view(data_, rows_, cols_, row_stride_, col_stride_);
        return make_view(copy_.data(), copy_.rows(), copy_.cols(), copy_.cols(), 1);
    }

private:
    // Stride of dimension d in doubles, or -1 where it is not a whole number
    // of doubles.
    static Index stride_in_doubles(const pybind11::array& array, pybind11::ssize_t d) {
        const auto bytes = array.strides(d);
        return bytes % static_cast<pybind11::ssize_t>(sizeof(double)) == 0
                   ? bytes / static_cast<pybind11::ssize_t>(sizeof(double))
                   : -1;
    }

    static View make_view(const double* data, Index rows, Index cols, Index row_stride,
                          Index col_stride) {
        if constexpr (Plain::IsVectorAtCompileTime) {
            return View(data, rows);
        } else {
            return View(data, rows, cols, Strides(row_stride, col_stride));
        }
    }

    pybind11::object owner_;
    const double* data_ = nullptr;
    Index rows_ = 0;
    Index cols_ = 0;
    Index row_stride_ = 0;
    Index col_stride_ = 0;
    Plain copy_;
};

using MatrixInput = BorrowedInput<RowMatrix, Eigen::Map<const RowMatrix, 0, Strides>>;
using VectorInput = BorrowedInput<Vector, Eigen::Map<const Vector>>;

}  // namespace qorv

namespace pybind11::detail {

// The same signature text as the plain argument ("[m, n]" for a matrix,
// "[m, 1]" for a vector).
template <class Input, class Plain, class Shown>
struct borrowed_input_caster {
    PYBIND11_TYPE_CASTER(Input, make_caster<Shown>::name);

    bool load(handle src, bool convert) {
        if (value.borrow(src)) return true;
        make_caster<Plain> copy;
        if (!copy.load(src, convert)) return false;
        value.own(cast_op<Plain&&>(std::move(copy)));
        return true;
    }
};

template <>
struct type_caster<qorv::MatrixInput>
    : borrowed_input_caster<qorv::MatrixInput, qorv::RowMatrix, qorv::Matrix> {};

template <>
struct type_caster<qorv::VectorInput>
    : borrowed_input_caster<qorv::VectorInput, qorv::Vector, qorv::Vector> {};

}  // namespace pybind11::detail
