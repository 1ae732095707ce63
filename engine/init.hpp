// Setting a world up before its first step: the types and contact energies
// that set-up mentions, the contact table they give at finalize, painting a
// box of sites, and seeding from a label image (each distinct non-zero label
// becomes one new cell, in order of first occurrence in site order).
//
// contact table at finalize: side max_type + 1 (max_type the largest type
// mentioned during set-up), every entry 0.0, then the pending contacts
// written in call order, so that a later pair overrides an earlier one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;

// One contact energy recorded by set_contact, installed by finish_setup.
struct PendingContact {
    CellType type_a;
    CellType type_b;
    double j;
};

// What set-up records for the table that finalize builds; kept (never
// cleared) once the world runs, so that a saved world can be set up again.
struct SetupRecord {
    std::vector<PendingContact> pending_contacts;  // in call order, never cleared
    CellType max_type = 0;                         // largest type mentioned; sizes the contact table
};

// A half-open box of lattice coordinates: lo ≤ (x, y, z) < hi.
struct SiteBox {
    std::array<std::size_t, 3> lo;
    std::array<std::size_t, 3> hi;
};

// Notes that set-up mentioned type t: max_type = max(max_type, t).
void record_type(World& w, CellType t);

// Notes both types and appends the pair to the pending contacts.
void record_contact(World& w, CellType a, CellType b, double j);

// What finalize does to the world before it runs: builds the contact table
// from the pending contacts, rebuilds the trackers (ids are validated before
// anything is written), then installs the table. A failure (a site holding
// an unregistered id, a table that cannot be held) leaves the world as it was.
void finish_setup(World& w);

// Whether painting the box stays inside the lattice: an empty box (some
// lo ≥ hi) always does, as it paints nothing.
bool box_fits(const Lattice& lattice, const SiteBox& box);

// Paints every site of the box with id, z outermost, then y, then x; the
// id must be registered (the medium's included) and the box must fit, else
// nothing is painted.
void paint_box(World& w, const SiteBox& box, CellId id);

std::unordered_map<std::uint32_t, CellId> seed_from_labels(World& w, const std::vector<std::uint32_t>& labels,
                                                           const std::unordered_map<std::uint32_t, CellType>& types,
                                                           CellType default_type, double target_volume,
                                                           double lambda_volume);

// A strided array of integers held elsewhere (a buffer of another library),
// read in C order: the last axis varies fastest.
struct LabelArray {
    const unsigned char* data;          // the element at index 0 of every axis
    std::size_t item_size;              // 1, 2, 4 or 8 bytes
    bool is_signed;                     // two's complement when true
    std::vector<std::size_t> shape;     // elements per axis; no axis at all holds one element
    std::vector<std::ptrdiff_t> strides;  // bytes per step along each axis
};

// The smallest and largest element of a non-empty array: the minimum as a
// signed value (capped at 2⁶³−1), the maximum as an unsigned one (0 when
// every element is negative).
struct LabelRange {
    std::int64_t min;
    std::uint64_t max;
    bool negative;  // some element is below 0
};

std::size_t element_count(const LabelArray& labels);
LabelRange label_range(const LabelArray& labels);  // checked: not empty, a known item size

// Whether every element lies in [0, 2³²−1]; faster than label_range (no
// scan at all for unsigned elements of up to 4 bytes).
bool labels_fit_u32(const LabelArray& labels);

// Every element in C order into out[0, element_count); they must fit u32.
void copy_labels(const LabelArray& labels, std::uint32_t* out);

// seed_from_labels for an array whose elements lie in [0, 2³²−1]; an
// element_count other than n_sites fails as the list form does: the same cells in the same order as from the list of its
// elements, checked before anything changes, returned as (label, id) pairs
// in order of creation. An array overlapping the world's own site array is
// copied first.
std::vector<std::pair<std::uint32_t, CellId>> seed_from_labels(
    World& w, const LabelArray& labels, const std::unordered_map<std::uint32_t, CellType>& types, CellType default_type,
    double target_volume, double lambda_volume);

}  // namespace tessaly
