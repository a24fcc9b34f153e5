// vorn_camera_sdk.jpeg: JPEG work in the compressed domain.
//
// The stereo cameras send both eyes side by side in one MJPG frame. Cutting
// that frame into a left and a right JPEG losslessly (the blocks' coded data
// is kept, never decoded to pixels and re-encoded) costs a fraction of a
// decode and keeps every bit of the camera's picture. The cut must fall on
// an MCU boundary: the right eye starts at x = width / 2, which must be a
// multiple of the MCU width (16 pixels for the 4:2:2 frames UVC cameras
// send, 8 for 4:4:4 and grey).
//
// The cut is libjpeg-turbo's lossless crop transform (TurboJPEG's
// tjTransform): the blocks' DCT coefficients are copied, nothing is
// dequantised or transformed.
//
// Camera frames often carry no Huffman tables (DHT): motion-JPEG leaves out
// the standard tables. libjpeg-turbo reads such frames with the standard
// tables and writes each eye with complete tables, so it is a JPEG any
// decoder reads.
//
// All work runs with the GIL released (through the exit gate, so a thread
// busy here while the interpreter exits is parked, not ended), on handles and
// buffers of its own.

#include "glue.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/tuple.h>

#include <turbojpeg.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// MCU width and height in pixels by TJSAMP_* value (as turbojpeg.h's tables).
constexpr int kMcuWidth[] = {8, 16, 16, 8, 8, 32};
constexpr int kMcuHeight[] = {8, 8, 16, 8, 16, 8};

// One TurboJPEG handle, destroyed with the object.
class Handle {
  public:
    explicit Handle(tjhandle h) : h_(h) {
        if (!h_)
            throw std::runtime_error(std::string("cannot start libjpeg-turbo: ") + tjGetErrorStr2(nullptr));
    }
    ~Handle() { tjDestroy(h_); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    operator tjhandle() const { return h_; }
    std::string error() const { return tjGetErrorStr2(h_); }

  private:
    tjhandle h_;
};

// Output buffers TurboJPEG allocated, freed with tjFree.
struct TjBuffer {
    unsigned char *data = nullptr;
    unsigned long size = 0;
    ~TjBuffer() { tjFree(data); }
};

struct Header {
    int width, height, subsamp;
};

std::pair<const unsigned char *, unsigned long> view(const nb::bytes &data) {
    return {reinterpret_cast<const unsigned char *>(data.c_str()), static_cast<unsigned long>(data.size())};
}

Header read_header(tjhandle h, const unsigned char *buf, unsigned long size) {
    Header hd{};
    int colorspace = 0;
    if (tjDecompressHeader3(h, buf, size, &hd.width, &hd.height, &hd.subsamp, &colorspace) != 0)
        throw nb::value_error(("not a readable JPEG: " + std::string(tjGetErrorStr2(h))).c_str());
    if (hd.subsamp < 0 || hd.subsamp >= static_cast<int>(sizeof kMcuWidth / sizeof kMcuWidth[0]))
        throw nb::value_error("JPEG with a chroma subsampling libjpeg-turbo cannot transform");
    return hd;
}

// info(data: bytes) -> tuple[int, int, int, int]
std::tuple<int, int, int, int> info(const nb::bytes &data) {
    auto [buf, size] = view(data);
    Header hd;
    {
        vorn::released unlocked;
        Handle h(tjInitDecompress());
        hd = read_header(h, buf, size);
    }
    return {hd.width, hd.height, kMcuWidth[hd.subsamp], kMcuHeight[hd.subsamp]};
}

// Runs one TurboJPEG transform per region of the same source; the GIL is
// released for the whole batch. Regions are (x, y, w, h).
template <size_t N>
std::array<nb::bytes, N> transform(const nb::bytes &data, const std::array<std::array<int, 4>, N> &regions) {
    auto [buf, size] = view(data);
    std::array<TjBuffer, N> out;
    std::string failure;
    {
        vorn::released unlocked;
        Handle h(tjInitTransform());
        Header hd{};
        int colorspace = 0;
        if (tjDecompressHeader3(h, buf, size, &hd.width, &hd.height, &hd.subsamp, &colorspace) != 0) {
            failure = "not a readable JPEG: " + h.error();
        } else {
            tjtransform xf[N];
            std::memset(xf, 0, sizeof xf);
            for (size_t i = 0; i < N; ++i) {
                const auto &r = regions[i];
                xf[i].r.x = r[0];
                xf[i].r.y = r[1];
                xf[i].r.w = r[2];
                xf[i].r.h = r[3];
                xf[i].op = TJXOP_NONE;
                // PERFECT: refuse rather than silently widen a misaligned cut.
                xf[i].options = TJXOPT_CROP | TJXOPT_PERFECT;
            }
            unsigned char *bufs[N] = {};
            unsigned long sizes[N] = {};
            if (tjTransform(h, buf, size, static_cast<int>(N), bufs, sizes, xf, 0) != 0) {
                failure = "lossless crop failed: " + h.error();
            }
            for (size_t i = 0; i < N; ++i) {
                out[i].data = bufs[i];
                out[i].size = sizes[i];
            }
        }
    }
    if (!failure.empty())
        throw nb::value_error(failure.c_str());
    std::array<nb::bytes, N> result;
    for (size_t i = 0; i < N; ++i)
        result[i] = nb::bytes(reinterpret_cast<const char *>(out[i].data), out[i].size);
    return result;
}

// crop(data: bytes, x: int, y: int, width: int, height: int) -> bytes
nb::bytes crop(const nb::bytes &data, int x, int y, int width, int height) {
    if (x < 0 || y < 0 || width <= 0 || height <= 0)
        throw nb::value_error("the crop region needs x, y >= 0 and a positive size");
    auto [hd_w, hd_h, mcu_w, mcu_h] = info(data);
    if (x % mcu_w || y % mcu_h)
        throw nb::value_error(("a lossless crop must start on the JPEG's " + std::to_string(mcu_w) + "x" +
                               std::to_string(mcu_h) + " block grid, not at (" + std::to_string(x) + ", " +
                               std::to_string(y) + ")")
                                  .c_str());
    if (x + width > hd_w || y + height > hd_h)
        throw nb::value_error("the crop region reaches outside the picture");
    return transform<1>(data, {{{x, y, width, height}}})[0];
}

// split_stereo(data: bytes) -> tuple[bytes, bytes]
std::pair<nb::bytes, nb::bytes> split_stereo(const nb::bytes &data) {
    auto [width, height, mcu_w, mcu_h] = info(data);
    (void)mcu_h;
    int eye = width / 2;
    if (width % 2 || eye % mcu_w)
        throw nb::value_error(("the eye width " + std::to_string(eye) + " of this " + std::to_string(width) + "x" +
                               std::to_string(height) + " frame is not a multiple of its " + std::to_string(mcu_w) +
                               "-pixel block width: the right eye cannot be cut out losslessly")
                                  .c_str());
    auto out = transform<2>(data, {{{0, 0, eye, height}, {eye, 0, eye, height}}});
    return {std::move(out[0]), std::move(out[1])};
}

using Image = nb::ndarray<nb::numpy, uint8_t, nb::ndim<3>>;

// decode_bgr(data: bytes) -> numpy.ndarray
Image decode_bgr(const nb::bytes &data) {
    auto [buf, size] = view(data);
    Header hd{};
    unsigned char *pixels = nullptr;
    std::string failure;
    {
        vorn::released unlocked;
        Handle h(tjInitDecompress());
        int colorspace = 0;
        if (tjDecompressHeader3(h, buf, size, &hd.width, &hd.height, &hd.subsamp, &colorspace) != 0) {
            failure = "not a readable JPEG: " + h.error();
        } else {
            pixels = new unsigned char[static_cast<size_t>(hd.width) * hd.height * 3];
            // A damaged tail (TJERR_WARNING) still gives a picture, as camera
            // drivers show it; only a fatal error fails.
            if (tjDecompress2(h, buf, size, pixels, hd.width, 0, hd.height, TJPF_BGR, TJFLAG_FASTDCT) != 0 &&
                tjGetErrorCode(h) == TJERR_FATAL) {
                failure = "cannot decode JPEG: " + h.error();
                delete[] pixels;
                pixels = nullptr;
            }
        }
    }
    if (!failure.empty())
        throw nb::value_error(failure.c_str());
    nb::capsule owner(pixels, [](void *p) noexcept { delete[] static_cast<unsigned char *>(p); });
    size_t shape[3] = {static_cast<size_t>(hd.height), static_cast<size_t>(hd.width), 3};
    return Image(pixels, 3, shape, owner);
}

}  // namespace

NB_MODULE(jpeg, m) {
    vorn::at_exit([] { return false; });  // nothing of ours stays open
    m.doc() =
        "Lossless JPEG transforms (libjpeg-turbo): cutting the eyes out of a side-by-side\n"
        "stereo frame without decoding it, and decoding a JPEG to a BGR array.";
    m.def("info", &info, "data"_a,
          nb::sig("def info(data: bytes) -> tuple[int, int, int, int]"),
          "info(data: bytes) -> tuple[int, int, int, int]\n\n"
          "The JPEG's (width, height, mcu_width, mcu_height). ValueError for data\n"
          "that is not a readable JPEG.");
    m.def("crop", &crop, "data"_a, "x"_a, "y"_a, "width"_a, "height"_a,
          nb::sig("def crop(data: bytes, x: int, y: int, width: int, height: int) -> bytes"),
          "crop(data: bytes, x: int, y: int, width: int, height: int) -> bytes\n\n"
          "The region as a JPEG of its own, cut out losslessly: the blocks' DCT\n"
          "coefficients are copied, nothing is decoded or re-encoded. (x, y) must lie\n"
          "on the JPEG's MCU grid (see info); ValueError otherwise, or for a region\n"
          "outside the picture or data that is not a JPEG.");
    m.def("split_stereo", &split_stereo, "data"_a,
          nb::sig("def split_stereo(data: bytes) -> tuple[bytes, bytes]"),
          "split_stereo(data: bytes) -> tuple[bytes, bytes]\n\n"
          "The left and right halves of a side-by-side stereo JPEG as two JPEGs,\n"
          "cut out losslessly. ValueError when the eye width (half the frame) is not\n"
          "a multiple of the JPEG's MCU width, or for data that is not a JPEG.");
    m.def("decode_bgr", &decode_bgr, "data"_a,
          nb::sig("def decode_bgr(data: bytes) -> numpy.ndarray[dtype=uint8, shape=(*, *, 3)]"),
          "decode_bgr(data: bytes) -> numpy.ndarray\n\n"
          "The JPEG decoded to a (height, width, 3) uint8 array in BGR order. A frame\n"
          "whose tail is damaged decodes as far as it goes; ValueError for data that\n"
          "cannot be decoded at all.");
}
