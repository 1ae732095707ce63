// Checkpoints: the complete state of a world, in either phase, as bytes that
// restore it exactly, and back.
//
// A checkpoint is a 32-byte header and a stored payload:
//   magic "tessaly\x1a" · format version u32 · codec u32 (0 stored, 1 zlib)
//   · payload size u64 · stored size u64 ... then the stored bytes, then
//   the CRC-32 of the header and the stored bytes, u32
// The payload is a list of sections (tag u32, length u64, body): the core
// ones in a fixed order (world, sites, cells, contacts, fields, and the
// generator while running), then one optional section per energy term that
// holds anything, written and read by the term's own file pair. Compression
// is the binding's (the standard library's zlib); everything else is here,
// so that the engine tests and the fuzz target see the whole decoder.
// docs/checkpoint.md describes every field and the versioning rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "bytes.hpp"
#include "rng.hpp"
#include "world.hpp"

namespace tessaly {

inline constexpr std::uint32_t checkpoint_version = 5;  // the newest format this build writes and reads
inline constexpr std::size_t checkpoint_header_size = 32;
inline constexpr std::size_t checkpoint_trailer_size = 4;

// Everything a checkpoint holds: the world (with what set-up recorded: the
// contacts in call order and the largest type mentioned), its phase, and
// the driver's generator while running.
struct WorldState {
    World world;
    bool running;  // finalized: the world belongs to a driver
    Rng rng;       // the driver's generator (running only)
};

// Limits a decoder holds a checkpoint to before it allocates: the fuzz
// target keeps them small; the binding takes the defaults (the engine's own
// limits; a box is never allowed more than max_lattice_sites).
struct DecodeLimits {
    std::uint64_t max_sites = max_lattice_sites;
    std::uint64_t max_table_side = std::uint64_t{1} << 16;  // contact table side (types)
};

// The payload of a world's state (uncompressed).
std::vector<std::uint8_t> encode_payload(const World& w, bool running, const Rng& rng);

// A world's state from a payload; FormatError on anything inconsistent.
WorldState decode_payload(const std::uint8_t* data, std::size_t size, const DecodeLimits& limits = {});

// ---- framing ----

struct Frame {
    std::uint32_t version;
    std::uint32_t codec;           // 0 stored, 1 zlib
    std::uint64_t payload_size;    // after decompression
    const std::uint8_t* stored;    // the stored payload, inside the checked bytes
    std::size_t stored_size;
};

inline constexpr std::uint32_t codec_stored = 0;
inline constexpr std::uint32_t codec_zlib = 1;

// The 32 header bytes of a checkpoint whose stored payload has that size; the
// checksum that ends the file is crc32 over the header, then the stored bytes.
void checkpoint_header(std::uint8_t* out, std::uint32_t codec, std::uint64_t payload_size, std::uint64_t stored_size);

// Header, stored bytes and checksum in one buffer.
std::vector<std::uint8_t> frame_checkpoint(std::uint32_t codec, std::uint64_t payload_size, const std::uint8_t* stored,
                                           std::size_t stored_size);

// The header of a whole checkpoint file, checked: magic, version, sizes
// against the bytes present, checksum. FormatError otherwise.
Frame read_frame(const std::uint8_t* data, std::size_t size);

// CRC-32 (the polynomial and conventions of zlib's crc32), continued from `crc`.
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

}  // namespace tessaly
