#include <climits>
#include <cstring>
#include <stdexcept>

#include "module/mat_caster.hpp"

namespace py = pybind11;

namespace vantel::binding {
namespace {

// Matched by value: an unpickled array carries an equal dtype object of its own. Structured
// and sub-array dtypes have no matrix form.
int depthForDtype(const py::dtype& dtype) {
    if (dtype.has_fields() || !dtype.attr("subdtype").is_none()) {
        return -1;
    }
    const py::ssize_t size = dtype.itemsize();
    switch (dtype.kind()) {
        case 'u': return size == 1 ? CV_8U : size == 2 ? CV_16U : -1;
        case 'i': return size == 1 ? CV_8S : size == 2 ? CV_16S : size == 4 ? CV_32S : -1;
        case 'f': return size == 4 ? CV_32F : size == 8 ? CV_64F : -1;
        default: return -1;
    }
}

bool isNativeByteOrder(const py::dtype& dtype) {
    const char order = dtype.byteorder();
    const char native = py::dtype::of<uint16_t>().byteorder() == '>' ? '>' : '<';
    return order == '=' || order == '|' || order == native;
}

py::dtype dtypeForDepth(int depth) {
    switch (depth) {
        case CV_8U: return py::dtype::of<uint8_t>();
        case CV_8S: return py::dtype::of<int8_t>();
        case CV_16U: return py::dtype::of<uint16_t>();
        case CV_16S: return py::dtype::of<int16_t>();
        case CV_32S: return py::dtype::of<int32_t>();
        case CV_32F: return py::dtype::of<float>();
        case CV_64F: return py::dtype::of<double>();
        default: throw std::runtime_error("vantel: unsupported cv::Mat depth for numpy conversion");
    }
}

bool fitsInt(py::ssize_t extent) { return extent >= 0 && extent <= INT_MAX; }

}  // namespace

bool matViewOfHostObject(py::handle source, cv::Mat& view, py::object& owner, int maxChannels) {
    if (!source || source.is_none()) {
        return false;
    }
    auto array = py::array::ensure(source, py::array::c_style | py::detail::npy_api::NPY_ARRAY_ALIGNED_);
    if (!array) {
        return false;
    }
    const int depth = depthForDtype(array.dtype());
    if (depth < 0) {
        return false;
    }
    if (!isNativeByteOrder(array.dtype())) {
        // A copy in native order; the matrix reads native values only.
        array = py::array::ensure(array.attr("astype")(array.dtype().attr("newbyteorder")("=")),
                                  py::array::c_style | py::detail::npy_api::NPY_ARRAY_ALIGNED_);
        if (!array) {
            return false;
        }
    }
    const py::ssize_t ndim = array.ndim();
    if (ndim < 1 || ndim > 3) {
        return false;
    }
    const py::ssize_t rows = array.shape(0);
    const py::ssize_t cols = ndim >= 2 ? array.shape(1) : 1;
    const py::ssize_t channels = ndim == 3 ? array.shape(2) : 1;
    if (channels < 1 || channels > maxChannels || !fitsInt(rows) || !fitsInt(cols)) {
        return false;
    }
    const int type = CV_MAKETYPE(depth, static_cast<int>(channels));
    if (rows == 0 || cols == 0) {
        view = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), type);
        owner = py::object();
        return true;
    }
    view = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), type, const_cast<void*>(array.data()));
    owner = std::move(array);
    return true;
}

bool matFromHostObject(py::handle source, cv::Mat& result) {
    cv::Mat view;
    py::object owner;
    if (!matViewOfHostObject(source, view, owner)) {
        return false;
    }
    result = view.clone();
    return true;
}

std::vector<cv::Mat> borrowedMats(const std::vector<BorrowedMat>& images) {
    std::vector<cv::Mat> mats;
    mats.reserve(images.size());
    for (const auto& image : images) {
        mats.push_back(image.mat);
    }
    return mats;
}

std::vector<cv::Mat> ownedMats(const std::vector<BorrowedMat>& images) {
    std::vector<cv::Mat> mats;
    mats.reserve(images.size());
    for (const auto& image : images) {
        mats.push_back(image.mat.clone());
    }
    return mats;
}

py::array hostArrayFromMat(const cv::Mat& mat) {
    if (mat.empty()) {
        return py::array(py::dtype::of<double>(), std::vector<py::ssize_t>{0, 0});
    }
    const cv::Mat continuous = mat.isContinuous() ? mat : mat.clone();
    const py::dtype dtype = dtypeForDepth(continuous.depth());

    std::vector<py::ssize_t> shape;
    for (int axis = 0; axis < continuous.dims; ++axis) {
        shape.push_back(continuous.size[axis]);
    }
    if (continuous.channels() > 1) {
        shape.push_back(continuous.channels());
    }
    py::array array(dtype, shape);
    std::memcpy(array.mutable_data(), continuous.data, continuous.total() * continuous.elemSize());
    return array;
}

}  // namespace vantel::binding
