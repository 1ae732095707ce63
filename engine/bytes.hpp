// Fixed-width little-endian fields for checkpoints: a writer that appends
// them to a byte buffer and a reader that takes them back, refusing to read
// past the end. Every field has the same bytes on every machine: integers
// little-endian, doubles and floats as their IEEE-754 bit patterns.
//
// A reader never sizes anything by a count it has not checked: `count`
// takes a length and fails unless that many elements of the given width are
// actually left in the data.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessaly {

// A checkpoint that cannot be read: not one, damaged, or from a newer
// format. The binding raises it as ValueError with the same message.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void damaged(const std::string& what) { throw FormatError("checkpoint damaged: " + what); }

// A double that is exactly +0.0 (the default of every term parameter).
inline bool unset(double v) { return std::bit_cast<std::uint64_t>(v) == 0; }

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

struct ByteWriter {
    std::vector<std::uint8_t> out;

    template <typename T>
    void put(T value) {
        static_assert(std::is_integral_v<T>);
        std::uint8_t b[sizeof(T)];
        for (std::size_t k = 0; k < sizeof(T); ++k) b[k] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * k));
        out.insert(out.end(), b, b + sizeof(T));
    }
    void u8(std::uint8_t v) { out.push_back(v); }
    void u16(std::uint16_t v) { put(v); }
    void u32(std::uint32_t v) { put(v); }
    void u64(std::uint64_t v) { put(v); }
    void i64(std::int64_t v) { put(static_cast<std::uint64_t>(v)); }
    void f64(double v) { put(std::bit_cast<std::uint64_t>(v)); }
    void boolean(bool v) { out.push_back(v ? 1 : 0); }
    void str(const std::string& s) {
        u64(s.size());
        out.insert(out.end(), s.begin(), s.end());
    }
    // A length, then the values.
    void f64s(const std::vector<double>& values) {
        u64(values.size());
        for (const double v : values) f64(v);
    }
    void u8s(const std::vector<std::uint8_t>& values) {
        u64(values.size());
        out.insert(out.end(), values.begin(), values.end());
    }
    // 32-bit words of an array, as runs (ByteWriter::words in checkpoint.cpp says how).
    void words(const std::uint32_t* data, std::size_t n);
};

struct ByteReader {
    const std::uint8_t* p;
    std::size_t left;

    void need(std::size_t bytes) const {
        if (bytes > left) damaged("truncated");
    }
    template <typename T>
    T take() {
        need(sizeof(T));
        std::uint64_t v = 0;
        for (std::size_t k = 0; k < sizeof(T); ++k) v |= static_cast<std::uint64_t>(p[k]) << (8 * k);
        p += sizeof(T);
        left -= sizeof(T);
        return static_cast<T>(v);
    }
    std::uint8_t u8() { return take<std::uint8_t>(); }
    std::uint16_t u16() { return take<std::uint16_t>(); }
    std::uint32_t u32() { return take<std::uint32_t>(); }
    std::uint64_t u64() { return take<std::uint64_t>(); }
    std::int64_t i64() { return static_cast<std::int64_t>(take<std::uint64_t>()); }
    double f64() { return std::bit_cast<double>(take<std::uint64_t>()); }
    bool boolean() {
        const std::uint8_t v = u8();
        if (v > 1) damaged("a flag holds " + std::to_string(v));
        return v == 1;
    }
    // A length of elements `width` bytes wide, checked against what is left.
    std::size_t count(std::size_t width) {
        const std::uint64_t n = u64();
        if (n > left / width) damaged("truncated");
        return static_cast<std::size_t>(n);
    }
    std::string str() {
        const std::size_t n = count(1);
        std::string s(reinterpret_cast<const char*>(p), n);
        p += n;
        left -= n;
        return s;
    }
    std::vector<double> f64s() {
        std::vector<double> v(count(8));
        for (double& x : v) x = f64();
        return v;
    }
    std::vector<std::uint8_t> u8s() {
        std::vector<std::uint8_t> v(count(1));
        if (!v.empty()) std::memcpy(v.data(), p, v.size());
        p += v.size();
        left -= v.size();
        return v;
    }
    // Runs written by ByteWriter::words, expanded into exactly n words.
    void words(std::uint32_t* data, std::size_t n);
    // Whether the runs at the cursor expand to exactly n words (the cursor
    // stays); checked before anything of that size is allocated.
    bool words_cover(std::uint64_t n) const;
};

// ---- sections: tag u32, length u64, body ----

// Section tags: four ASCII letters, read as a little-endian u32.
constexpr std::uint32_t tag(const char (&s)[5]) {
    return std::uint32_t{static_cast<std::uint8_t>(s[0])} | std::uint32_t{static_cast<std::uint8_t>(s[1])} << 8 |
           std::uint32_t{static_cast<std::uint8_t>(s[2])} << 16 | std::uint32_t{static_cast<std::uint8_t>(s[3])} << 24;
}

inline std::string tag_name(std::uint32_t t) {
    std::string s;
    for (int k = 0; k < 4; ++k) {
        const char c = static_cast<char>((t >> (8 * k)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

// A section: its tag, then its length (patched once the body is written).
template <typename Body>
void section(ByteWriter& w, std::uint32_t t, bool optional, Body body) {
    const std::size_t start = w.out.size();
    w.u32(t);
    w.u64(0);
    const std::size_t body_start = w.out.size();
    body();
    const std::uint64_t length = w.out.size() - body_start;
    if (optional && length == 0) {
        w.out.resize(start);  // the term holds its defaults: no section
        return;
    }
    for (int k = 0; k < 8; ++k) w.out[start + 4 + k] = static_cast<std::uint8_t>(length >> (8 * k));
}

// The body of the next section, which must carry tag `t`.
inline ByteReader open_section(ByteReader& r, std::uint32_t t) {
    const std::uint32_t found = r.u32();
    if (found != t) damaged("expected section '" + tag_name(t) + "', found '" + tag_name(found) + "'");
    const std::size_t length = r.count(1);
    ByteReader body{r.p, length};
    r.p += length;
    r.left -= length;
    return body;
}

inline void close_section(const ByteReader& body, std::uint32_t t) {
    if (body.left != 0) damaged("section '" + tag_name(t) + "' is longer than its contents");
}

}  // namespace tessaly
