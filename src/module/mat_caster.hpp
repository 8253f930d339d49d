#pragma once

// Conversions between NumPy arrays and OpenCV matrices for every bound signature.
// Every translation unit that binds a cv::Mat or cv::Size must include this header.

#include <vector>

#include <opencv2/core.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace vantel::binding {

// Array (or anything NumPy turns into a C-contiguous array) -> owned matrix.
// Returns false when the dtype, dimensions or channel count have no matrix form.
bool matFromHostObject(pybind11::handle source, cv::Mat& result);

// The same conversion without the copy: the matrix points into the array kept in owner.
bool matViewOfHostObject(pybind11::handle source, cv::Mat& view, pybind11::object& owner, int maxChannels = 4);

// An input image read during one call only and never kept: accepted exactly like cv::Mat,
// but not copied (large image batches would otherwise be copied whole before any work).
// owner keeps the array alive through the call; as with NumPy's own calls that release the
// interpreter, a host thread writing into it meanwhile changes what the call reads.
// Any channel count loads: the calls refuse unusable images themselves, naming the image.
struct BorrowedMat {
    cv::Mat mat;
    pybind11::object owner;
};

// Matrix headers of borrowed images, valid while the borrowed list lives.
std::vector<cv::Mat> borrowedMats(const std::vector<BorrowedMat>& images);

// Copies of borrowed images, for calls that keep them: any channel count arrives, so the call
// itself names an image it cannot use.
std::vector<cv::Mat> ownedMats(const std::vector<BorrowedMat>& images);

// Matrix -> new array owning a copy of the data.
pybind11::array hostArrayFromMat(const cv::Mat& mat);

}  // namespace vantel::binding

namespace pybind11::detail {

template <>
struct type_caster<cv::Mat> {
    PYBIND11_TYPE_CASTER(cv::Mat, const_name("numpy.ndarray"));

    // The same attempt in both overload passes: no implicit dtype casts.
    bool load(handle source, bool /*convert*/) { return vantel::binding::matFromHostObject(source, value); }

    static handle cast(const cv::Mat& mat, return_value_policy /*policy*/, handle /*parent*/) {
        return vantel::binding::hostArrayFromMat(mat).release();
    }
};

template <>
struct type_caster<vantel::binding::BorrowedMat> {
    PYBIND11_TYPE_CASTER(vantel::binding::BorrowedMat, const_name("numpy.ndarray"));

    bool load(handle source, bool /*convert*/) {
        return vantel::binding::matViewOfHostObject(source, value.mat, value.owner, CV_CN_MAX);
    }
};

// cv::Size crosses as (width, height).
template <>
struct type_caster<cv::Size> {
    PYBIND11_TYPE_CASTER(cv::Size, const_name("tuple[int, int]"));

    bool load(handle source, bool convert) {
        if (!source || !isinstance<sequence>(source) || isinstance<str>(source) || isinstance<bytes>(source)) {
            return false;
        }
        const auto items = reinterpret_borrow<sequence>(source);
        if (items.size() != 2) {
            return false;
        }
        make_caster<int> width;
        make_caster<int> height;
        if (!width.load(items[0], convert) || !height.load(items[1], convert)) {
            return false;
        }
        value = cv::Size(cast_op<int>(width), cast_op<int>(height));
        return true;
    }

    static handle cast(const cv::Size& size, return_value_policy /*policy*/, handle /*parent*/) {
        return make_tuple(size.width, size.height).release();
    }
};

}  // namespace pybind11::detail
