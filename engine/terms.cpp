#include "terms.hpp"

#include <array>
#include <cstdint>

#include "bytes.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

// The terms' checkpoint sections, in their one order: written in it, read
// in it. A new term appends its tag here and a case to each switch below.
constexpr std::uint32_t tag_chemotaxis = tag("CHEM");
constexpr std::uint32_t tag_membrane = tag("MEMB");
constexpr std::uint32_t tag_junction = tag("JUNC");
constexpr std::uint32_t tag_length = tag("LENG");
constexpr std::uint32_t tag_external = tag("EXTF");
constexpr std::uint32_t tag_connectivity = tag("CONN");
constexpr std::uint32_t tag_act = tag("ACTV");
constexpr std::uint32_t tag_persistence = tag("PERS");
constexpr std::uint32_t tag_frozen = tag("FRZN");
constexpr std::uint32_t tag_tracks = tag("TRAK");
constexpr std::uint32_t tag_links = tag("LINK");
constexpr std::uint32_t tag_attributes = tag("ATTR");  // the cells' attributes (state.hpp), not a term
constexpr std::uint32_t tag_programs = tag("CPRG");    // the cells' programs (cell_system.hpp), after the attributes they read
constexpr std::array<std::uint32_t, 13> term_tags = {tag_chemotaxis, tag_membrane, tag_junction,   tag_length,     tag_external,
                                                     tag_connectivity, tag_act,    tag_persistence, tag_frozen,    tag_tracks,
                                                     tag_links,      tag_attributes, tag_programs};

void write_term(ByteWriter& out, std::uint32_t t, const World& w) {
    const Terms& terms = w.terms;
    switch (t) {
        case tag_chemotaxis: return write(out, terms.chemotaxis);
        case tag_membrane: return write(out, terms.membrane);
        case tag_junction: return write(out, terms.junction);
        case tag_length: return write(out, terms.length);
        case tag_external: return write(out, terms.external);
        case tag_connectivity: return write(out, terms.connectivity);
        case tag_act: return write(out, terms.act);
        case tag_persistence: return write(out, terms.persistence);
        case tag_frozen: return write(out, terms.frozen);
        case tag_tracks: return write(out, terms.tracks);
        case tag_links: return write(out, terms.links);
        case tag_attributes: return write(out, w.state);
        case tag_programs: return write(out, terms.programs);
        default: return;
    }
}

void read_term(ByteReader& in, std::uint32_t t, World& w) {
    Terms& terms = w.terms;
    switch (t) {
        case tag_chemotaxis: return read(in, terms.chemotaxis, w);
        case tag_membrane: return read(in, terms.membrane, w);
        case tag_junction: return read(in, terms.junction, w);
        case tag_length: return read(in, terms.length, w);
        case tag_external: return read(in, terms.external, w);
        case tag_connectivity: return read(in, terms.connectivity, w);
        case tag_act: return read(in, terms.act, w);
        case tag_persistence: return read(in, terms.persistence, w);
        case tag_frozen: return read(in, terms.frozen, w);
        case tag_tracks: return read(in, terms.tracks, w);
        case tag_links: return read(in, terms.links, w);
        case tag_attributes: return read(in, w.state, w);
        case tag_programs: return read(in, terms.programs, w);
        default: return;
    }
}

}  // namespace

void write_terms(ByteWriter& out, const World& w) {
    for (const std::uint32_t t : term_tags) section(out, t, true, [&] { write_term(out, t, w); });
}

void read_terms(ByteReader& in, World& w) {
    std::size_t next = 0;  // the first of term_tags a section may still carry
    while (in.left != 0) {
        ByteReader peek = in;
        const std::uint32_t t = peek.u32();
        std::size_t rank = 0;
        while (rank < term_tags.size() && term_tags[rank] != t) ++rank;
        if (rank == term_tags.size()) damaged("unknown section '" + tag_name(t) + "'");
        if (rank < next) damaged("section '" + tag_name(t) + "' out of order");
        next = rank + 1;
        ByteReader body = open_section(in, t);
        read_term(body, t, w);
        close_section(body, t);
    }
    // every field has its response (the section is there whenever a field is)
    if (w.terms.chemotaxis.fields.size() != w.fields.size()) damaged("the chemotaxis responses do not match the fields");
    refresh_terms(w);
}

void refresh_terms(World& w) {
    refresh(w.terms.chemotaxis);
    refresh(w.terms.membrane);
    refresh(w.terms.junction);
    refresh(w.terms.length);
    refresh(w.terms.external);
    refresh(w.terms.connectivity);
    refresh(w.terms.act);
    refresh(w.terms.persistence);
    refresh(w.terms.frozen);
    refresh(w.terms.links);
    const Terms& t = w.terms;
    const bool others = t.chemotaxis.on || t.membrane.on || t.junction.on || t.length.on || t.external.on ||
                        t.act.on || t.persistence.on;
    w.terms.energy_on = others || t.links.on;
    w.terms.links_alone = !others && t.links.on;
    w.terms.steps_on = t.act.on || tracking_on(t);
}

void set_tracking(World& w, bool on) {
    w.terms.tracks.requested = on;
    refresh_terms(w);
}

bool tracking_on(const Terms& terms) { return terms.tracks.requested || terms.persistence.on; }

void before_step(World& w) { persistence_first_directions(w.terms.persistence, w); }

void after_step(World& w) {
    Terms& t = w.terms;
    if (t.act.on) act_decay(t.act);
    if (tracking_on(t)) track_step(w, t.tracks);
    if (t.persistence.on) persistence_step(t.persistence, w, t.tracks);
}

}  // namespace tessaly
