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
// Baseline frames with one interleaved scan (what cameras send) are split in
// their entropy-coded data (split_entropy below); any other JPEG goes
// through libjpeg-turbo's lossless crop transform (TurboJPEG's tjTransform),
// which gives the same pictures at a higher cost.
//
// Camera frames often carry no Huffman tables (DHT): motion-JPEG leaves out
// the standard tables. Both paths read such frames with the standard tables
// and write each eye with complete tables, so it is a JPEG any decoder reads.
//
// All work runs with the GIL released, on handles and buffers of its own.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/tuple.h>

#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>
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

// -- Splitting the entropy-coded data ------------------------------------------------------
//
// The fast way to cut a side-by-side frame in two: each MCU row of the scan
// holds the left eye's MCUs, then the right eye's, so each eye's data is a
// run of bits per row. The scan is parsed (Huffman codes only: no
// coefficient is dequantised or transformed), each eye's runs are copied
// bit for bit into a JPEG of its own, and only the DC difference of the first
// block of each component in each run is coded again (the DC predictor runs
// across the row into the other eye). The pictures are those the transform
// gives, at a fraction of its cost. Baseline Huffman JPEGs with one
// interleaved scan and no restart markers take this path; anything else goes
// to libjpeg-turbo's transform.

struct HuffTable {
    // Codes of up to kFast bits are looked up with the next kFast bits:
    // (symbol << 8) | code length, 0 for a longer code (found through
    // maxcode, as the canonical code orders them).
    static constexpr int kFast = 11;
    uint16_t fast[1 << kFast] = {};
    // For AC tables, what the parser needs of a short code and its magnitude
    // bits, looked up the same way: kValid | kind << 9 | run << 5 | bits to skip.
    static constexpr uint16_t kValid = 0x8000, kCoefficient = 0, kEndOfBlock = 1, kZeroRun = 2;
    uint16_t skip[1 << kFast] = {};
    int32_t maxcode[18] = {};
    int32_t valoffset[18] = {};
    uint8_t values[256] = {};
    uint32_t code[256] = {};
    uint8_t length[256] = {};
    bool valid = false;

    bool build(const uint8_t *bits, const uint8_t *vals, int count) {
        if (count > 256)
            return false;
        std::memcpy(values, vals, count);
        uint32_t next = 0;
        int k = 0;
        for (int len = 1; len <= 16; ++len) {
            valoffset[len] = k - static_cast<int32_t>(next);
            for (int i = 0; i < bits[len - 1]; ++i, ++k) {
                if (next >= (1u << len))
                    return false;
                uint8_t symbol = vals[k];
                code[symbol] = next;
                length[symbol] = static_cast<uint8_t>(len);
                if (len <= kFast) {
                    uint32_t first = next << (kFast - len), span = 1u << (kFast - len);
                    int run = symbol >> 4, size_bits = symbol & 15;
                    uint16_t kind = size_bits ? kCoefficient : run == 15 ? kZeroRun : kEndOfBlock;
                    uint16_t entry = static_cast<uint16_t>(kValid | kind << 9 | run << 5 | (len + size_bits));
                    for (uint32_t j = 0; j < span; ++j) {
                        fast[first + j] = static_cast<uint16_t>((symbol << 8) | len);
                        skip[first + j] = entry;
                    }
                }
                ++next;
            }
            maxcode[len] = bits[len - 1] ? static_cast<int32_t>(next) - 1 : -1;
            next <<= 1;
        }
        maxcode[17] = 0x7FFFFFFF;
        valid = true;
        return true;
    }

    // The symbol at the head of ``window`` (the next bits, left-aligned) and
    // its code length; length 0 for no code.
    inline void decode(uint64_t window, int &symbol, int &len) const {
        uint16_t e = fast[window >> (64 - kFast)];
        if (e) {
            symbol = e >> 8;
            len = e & 0xFF;
            return;
        }
        for (int l = kFast + 1; l <= 16; ++l) {
            int32_t c = static_cast<int32_t>(window >> (64 - l));
            if (c <= maxcode[l]) {
                symbol = values[valoffset[l] + c];
                len = l;
                return;
            }
        }
        len = 0;
    }
};

// A DHT segment's tables: class (0 DC, 1 AC) x id.
struct Tables {
    std::string segment;  // the DHT payload the tables came from (the cache key)
    HuffTable dc[4], ac[4];
};

bool parse_dht(const uint8_t *p, size_t n, Tables &t) {
    while (n > 0) {
        if (n < 17)
            return false;
        int cls = p[0] >> 4, id = p[0] & 15;
        if (cls > 1 || id > 3)
            return false;
        int count = 0;
        for (int i = 1; i <= 16; ++i)
            count += p[i];
        if (n < static_cast<size_t>(17 + count))
            return false;
        if (!(cls ? t.ac[id] : t.dc[id]).build(p + 1, p + 17, count))
            return false;
        p += 17 + count;
        n -= 17 + count;
    }
    return true;
}

// The standard tables motion-JPEG frames leave out: the DHT libjpeg-turbo
// writes with its defaults, taken from a JPEG it encodes once.
const std::string &standard_dht() {
    static const std::string segment = [] {
        std::string out;
        tjhandle h = tjInitCompress();
        if (!h)
            return out;
        unsigned char pixels[16 * 16 * 3] = {};
        unsigned char *jpeg_buf = nullptr;
        unsigned long jpeg_size = 0;
        if (tjCompress2(h, pixels, 16, 0, 16, TJPF_RGB, &jpeg_buf, &jpeg_size, TJSAMP_422, 90, 0) == 0) {
            size_t i = 2;
            while (i + 4 <= jpeg_size && jpeg_buf[i] == 0xFF && jpeg_buf[i + 1] != 0xDA) {
                size_t len = (jpeg_buf[i + 2] << 8) | jpeg_buf[i + 3];
                if (jpeg_buf[i + 1] == 0xC4)
                    out.append(reinterpret_cast<char *>(jpeg_buf) + i + 4, len - 2);
                i += 2 + len;
            }
        }
        tjFree(jpeg_buf);
        tjDestroy(h);
        return out;
    }();
    return segment;
}

const Tables *tables_for(const std::string &dht) {
    // Cameras send the same tables with every frame: keep the last ones built.
    thread_local std::unique_ptr<Tables> cached;
    if (cached && cached->segment == dht)
        return cached.get();
    auto t = std::make_unique<Tables>();
    t->segment = dht;
    if (!parse_dht(reinterpret_cast<const uint8_t *>(dht.data()), dht.size(), *t))
        return nullptr;
    cached = std::move(t);
    return cached.get();
}

// The next 57 or more bits of the unstuffed entropy-coded data (padded with
// zero bytes) from bit ``pos``, left-aligned in a 64-bit word.
inline uint64_t window_at(const uint8_t *data, size_t pos) {
    uint64_t w;
    std::memcpy(&w, data + (pos >> 3), 8);
    return __builtin_bswap64(w) << (pos & 7);
}

// Writes bits into a buffer sized beforehand, stuffing a zero byte after
// every 0xFF.
struct BitWriter {
    uint8_t *p = nullptr;
    uint64_t acc = 0;
    int count = 0;
    inline void put(uint64_t bits, int n) {  // n <= 32
        if (!n)
            return;
        acc = (acc << n) | (bits & ((uint64_t(1) << n) - 1));
        count += n;
        while (count >= 8) {
            count -= 8;
            uint8_t byte = static_cast<uint8_t>(acc >> count);
            *p++ = byte;
            if (byte == 0xFF)
                *p++ = 0;
        }
    }
    void copy(const uint8_t *data, size_t from, size_t to) {  // bits [from, to)
        while (to - from >= 32) {
            put(window_at(data, from) >> 32, 32);
            from += 32;
        }
        if (to > from)
            put(window_at(data, from) >> (64 - (to - from)), static_cast<int>(to - from));
    }
    void finish() {  // pad with 1 bits
        if (count)
            put(0xFF, 8 - count);
    }
};

int magnitude_bits(int v) {
    int a = v < 0 ? -v : v, n = 0;
    while (a) {
        ++n;
        a >>= 1;
    }
    return n;
}

struct Component {
    int h, v, dc_table, ac_table;
};

// Both eyes of a side-by-side JPEG by splitting its entropy-coded data;
// false when the frame is not one this path takes (the caller transforms it).
bool split_entropy(const uint8_t *buf, size_t size, std::string &left, std::string &right) {
    if (size < 4 || buf[0] != 0xFF || buf[1] != 0xD8)
        return false;
    std::string head = "\xFF\xD8";  // every segment before SOS, SOF rewritten per eye
    std::string dht;
    size_t sof_at = std::string::npos;
    int width = 0, height = 0;
    std::vector<Component> comps;
    std::vector<int> comp_ids;
    size_t i = 2, sos = 0;
    int restart_interval = 0;
    while (true) {
        if (i + 4 > size || buf[i] != 0xFF)
            return false;
        uint8_t marker = buf[i + 1];
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        size_t len = (buf[i + 2] << 8) | buf[i + 3];
        if (len < 2 || i + 2 + len > size)
            return false;
        const uint8_t *p = buf + i + 4;
        if (marker == 0xC0 || marker == 0xC1) {
            if (len < 8 || p[0] != 8)
                return false;
            height = (p[1] << 8) | p[2];
            width = (p[3] << 8) | p[4];
            int nf = p[5];
            if ((nf != 1 && nf != 3) || len != 8u + 3u * nf)
                return false;
            for (int c = 0; c < nf; ++c) {
                comp_ids.push_back(p[6 + 3 * c]);
                comps.push_back({p[7 + 3 * c] >> 4, p[7 + 3 * c] & 15, 0, 0});
            }
            sof_at = head.size();
        } else if (marker >= 0xC2 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            return false;  // progressive, lossless or arithmetic coding
        } else if (marker == 0xDD) {
            // Restart interval: the eyes are written without restarts.
            if (len != 4)
                return false;
            restart_interval = (p[0] << 8) | p[1];
            i += 2 + len;
            continue;
        } else if (marker == 0xC4) {
            dht.append(reinterpret_cast<const char *>(p), len - 2);
        } else if (marker == 0xDA) {
            sos = i;
            break;
        }
        head.append(reinterpret_cast<const char *>(buf + i), 2 + len);
        i += 2 + len;
    }
    if (sof_at == std::string::npos || width <= 0 || height <= 0)
        return false;
    // The scan: all components, interleaved (one component: its blocks in order).
    size_t sos_len = (buf[sos + 2] << 8) | buf[sos + 3];
    const uint8_t *s = buf + sos + 4;
    int ns = s[0];
    if (ns != static_cast<int>(comps.size()) || sos_len != 6u + 2u * ns)
        return false;
    for (int c = 0; c < ns; ++c) {
        if (s[1 + 2 * c] != comp_ids[c])
            return false;
        comps[c].dc_table = s[2 + 2 * c] >> 4;
        comps[c].ac_table = s[2 + 2 * c] & 15;
        if (comps[c].dc_table > 3 || comps[c].ac_table > 3)
            return false;
    }
    int hmax = 1, vmax = 1;
    for (auto &c : comps) {
        if (c.h < 1 || c.v < 1 || c.h > 4 || c.v > 4)
            return false;
        hmax = std::max(hmax, c.h);
        vmax = std::max(vmax, c.v);
    }
    if (comps.size() == 1)
        comps[0].h = comps[0].v = hmax = vmax = 1;  // a single component's MCU is one block
    int mcu_w = 8 * hmax, mcu_h = 8 * vmax;
    int eye = width / 2;
    if (width % 2 || eye % mcu_w)
        return false;
    int per_row = (width + mcu_w - 1) / mcu_w, half = per_row / 2, rows = (height + mcu_h - 1) / mcu_h;

    bool standard = dht.empty();
    const Tables *t = tables_for(standard ? standard_dht() : dht);
    if (!t)
        return false;
    for (auto &c : comps)
        if (!t->dc[c.dc_table].valid || !t->ac[c.ac_table].valid)
            return false;

    // Unstuff the entropy-coded data up to the next marker.
    size_t start = sos + 2 + sos_len;
    std::vector<uint8_t> data;
    std::vector<size_t> restarts;  // byte offsets in data where restart intervals begin
    data.reserve(size - start + 520);
    size_t k = start;
    while (k < size) {
        const uint8_t *ff = static_cast<const uint8_t *>(std::memchr(buf + k, 0xFF, size - k));
        size_t end = ff ? static_cast<size_t>(ff - buf) : size;
        data.insert(data.end(), buf + k, buf + end);
        if (!ff || end + 1 >= size)
            break;
        if (buf[end + 1] == 0x00) {
            data.push_back(0xFF);
            k = end + 2;
        } else if (buf[end + 1] >= 0xD0 && buf[end + 1] <= 0xD7 && restart_interval) {
            restarts.push_back(data.size());  // the next interval starts here
            k = end + 2;
        } else {
            break;  // EOI or another marker
        }
    }
    size_t available = data.size() * 8;
    data.resize(data.size() + 512, 0);
    const uint8_t *bits = data.data();
    size_t pos = 0;

    // Both outputs: the head with the eye's width, tables when the frame had
    // none, and room for the eye's data with its stuffing.
    std::string *outs[2] = {&left, &right};
    size_t heads[2];
    for (int side = 0; side < 2; ++side) {
        std::string &out = *outs[side];
        out = head;
        out[sof_at + 7] = static_cast<char>(eye >> 8);
        out[sof_at + 8] = static_cast<char>(eye & 0xFF);
        if (standard) {
            const std::string &std_dht = standard_dht();
            size_t len = std_dht.size() + 2;
            out.append("\xFF\xC4", 2);
            out.push_back(static_cast<char>(len >> 8));
            out.push_back(static_cast<char>(len & 0xFF));
            out.append(std_dht);
        }
        out.append(reinterpret_cast<const char *>(buf + sos), 2 + sos_len);
        heads[side] = out.size();
        out.resize(out.size() + 2 * data.size() + 64);
    }
    BitWriter writers[2];
    for (int side = 0; side < 2; ++side)
        writers[side].p = reinterpret_cast<uint8_t *>(&(*outs[side])[heads[side]]);
    int dc[4] = {0, 0, 0, 0};           // the scan's DC predictors
    int eye_dc[2][4] = {{0}, {0}};      // each output's DC predictors
    constexpr size_t kNone = ~size_t(0);
    size_t copy_from[2] = {kNone, kNone};  // the start of each output's pending copy
    auto flush = [&](int side, size_t upto) {
        if (copy_from[side] != kNone)
            writers[side].copy(bits, copy_from[side], upto);
        copy_from[side] = kNone;
    };
    int nc = static_cast<int>(comps.size());
    long mcu_index = 0;
    for (int row = 0; row < rows; ++row) {
        for (int side = 0; side < 2; ++side) {
            BitWriter &w = writers[side];
            for (int m = 0; m < half; ++m, ++mcu_index) {
                if (restart_interval && mcu_index && mcu_index % restart_interval == 0) {
                    size_t k = static_cast<size_t>(mcu_index / restart_interval);
                    if (k > restarts.size())
                        return false;
                    flush(side, pos);
                    pos = restarts[k - 1] * 8;
                    for (int c = 0; c < nc; ++c)
                        dc[c] = 0;
                }
                for (int c = 0; c < nc; ++c) {
                    const Component &comp = comps[c];
                    const HuffTable &dct = t->dc[comp.dc_table], &act = t->ac[comp.ac_table];
                    for (int b = 0; b < comp.h * comp.v; ++b) {
                        size_t block_start = pos;
                        uint64_t win = window_at(bits, pos);
                        int size_bits, len;
                        dct.decode(win, size_bits, len);
                        if (!len || size_bits > 11)
                            return false;
                        int diff = 0;
                        if (size_bits) {
                            int raw = static_cast<int>((win << len) >> (64 - size_bits));
                            diff = raw < (1 << (size_bits - 1)) ? raw - (1 << size_bits) + 1 : raw;
                        }
                        bool same_predictor = dc[c] == eye_dc[side][c];
                        dc[c] += diff;
                        pos += len + size_bits;
                        size_t after_dc = pos;
                        for (int coef = 1; coef < 64;) {
                            uint64_t window = window_at(bits, pos);
                            uint16_t e = act.skip[window >> (64 - HuffTable::kFast)];
                            int r, kind;
                            if (e) {
                                pos += e & 31;
                                r = (e >> 5) & 15;
                                kind = (e >> 9) & 3;
                            } else {
                                int rs;
                                act.decode(window, rs, len);
                                if (!len)
                                    return false;
                                r = rs >> 4;
                                pos += len + (rs & 15);
                                kind = (rs & 15) ? HuffTable::kCoefficient
                                                 : r == 15 ? HuffTable::kZeroRun : HuffTable::kEndOfBlock;
                            }
                            if (kind == HuffTable::kCoefficient)
                                coef += r + 1;
                            else if (kind == HuffTable::kZeroRun)
                                coef += 16;
                            else
                                break;
                        }
                        // (The data is padded well past one block's worth of bits.)
                        if (pos > available)
                            return false;
                        if (same_predictor) {
                            if (copy_from[side] == kNone)
                                copy_from[side] = block_start;
                        } else {
                            // Predicted from a block this output does not have
                            // (the other eye's, or a restart's zero): coded again.
                            flush(side, block_start);
                            int new_diff = dc[c] - eye_dc[side][c];
                            int nb = magnitude_bits(new_diff);
                            if (nb > 11 || !dct.length[nb])
                                return false;
                            w.put(dct.code[nb], dct.length[nb]);
                            if (nb)
                                w.put(static_cast<uint32_t>(new_diff < 0 ? new_diff - 1 : new_diff), nb);
                            copy_from[side] = after_dc;
                        }
                        eye_dc[side][c] = dc[c];
                    }
                }
            }
            flush(side, pos);
        }
    }
    for (int side = 0; side < 2; ++side) {
        writers[side].finish();
        std::string &out = *outs[side];
        out.resize(static_cast<size_t>(reinterpret_cast<char *>(writers[side].p) - &out[0]));
        out.append("\xFF\xD9", 2);
    }
    return true;
}

// info(data: bytes) -> tuple[int, int, int, int]
std::tuple<int, int, int, int> info(const nb::bytes &data) {
    auto [buf, size] = view(data);
    Header hd;
    {
        nb::gil_scoped_release unlocked;
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
        nb::gil_scoped_release unlocked;
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
    auto [buf, size] = view(data);
    std::string left, right;
    bool split;
    {
        nb::gil_scoped_release unlocked;
        split = split_entropy(buf, size, left, right);
    }
    if (split)
        return {nb::bytes(left.data(), left.size()), nb::bytes(right.data(), right.size())};
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
        nb::gil_scoped_release unlocked;
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
