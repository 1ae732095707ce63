"""Cellular Potts Model simulator.

One class, :class:`World`. A program creates a World on a box of lattice
sites, registers cells and paints them (the set-up phase), configures the
energy terms, constraints and fields, calls :meth:`World.finalize`, and then
advances the model with :meth:`World.step` or :meth:`World.step_parallel`
(the running phase), reading observables back between calls.

Conventions shared by every method:

* Sites are addressed by the site index ``x + nx*(y + ny*z)``; every
  per-site list uses that order.
* Cell ids are unsigned 32-bit; id 0 is the medium. Cell types are unsigned
  16-bit; type 0 is the medium's type.
* Arguments may be passed positionally or by keyword. Integer arguments
  accept any object with ``__index__`` (NumPy integer scalars included) but
  not floats or strings; ``bool`` arguments accept ``bool`` and NumPy
  booleans only. A value outside an 8-, 16- or 32-bit target, negative ones
  included, raises ``OverflowError("out of range integral type conversion
  attempted")``; 64-bit targets raise the interpreter's own overflow
  messages. Either error carries a note (``__notes__``) naming the argument
  and its range: ``"argument 'cell_type': expected an integer in [0,
  65535]"``. A ``TypeError`` from converting an argument is re-raised as
  ``TypeError("argument 'NAME': ...")`` with the original as its cause.
* A failed check inside the engine (a cell id, field index or site index
  out of range, for example) raises the module's ``InternalError``, which
  derives directly from ``BaseException`` (so ``except Exception`` does not
  catch it) and is not an attribute of the module. Changes made before the
  failing check stay in place; the object accepts further calls.
* Calling a method re-entrantly on the same World (for example from an
  argument's ``__index__``) raises ``RuntimeError("Already borrowed")`` when
  the inner call would change the World, or
  ``RuntimeError("Already mutably borrowed")`` when a read-out meets a call
  that changes it.
"""

import os
from collections.abc import Buffer, Sequence
from typing import Literal, Self, final

__version__: str
"""The package version, for example ``"0.1.0"``."""

def sbml_equations(source: str | os.PathLike[str]) -> dict[str, str | dict[str, float]]:
    """Translate an SBML model into the input of World.add_cell_ode: a dict
    with 'equations' (the text, one NAME' = EXPR per line), 'params' (name
    to float: compartment sizes, parameters, reactions' local parameters as
    REACTION_PARAMETER) and 'initial' (attribute name to its value at the
    start). `source` is a path (str or os.PathLike) or SBML text starting
    with '<'. Species become attributes holding what their symbol means in
    the model: the concentration, or the amount for a species with only
    substance units. Assignment rules are substituted, function definitions
    inlined; an id that the expression language or cell_table uses gets a
    trailing underscore. Events, delays, algebraic rules, fast reactions,
    the time symbol and functions outside the language raise ValueError
    naming them. Needs python-libsbml (ModuleNotFoundError otherwise).

    The equation of a concentration divides each reaction's rate by the
    compartment's size (a law that begins with that size loses the factor
    instead); boundary and constant species are attributes without an
    equation; a parameter with a rate rule is an attribute; initial
    assignments are evaluated. A missing file raises ``FileNotFoundError``,
    a file that is not valid SBML ``ValueError("sbml: PATH is not valid
    SBML: line N: ...")``, a source of another type ``TypeError("source:
    expected a path or SBML text starting with '<', got TYPE")``. See the
    guide's section "SBML models" for the whole table.
    """

@final
class World:
    """A simulation: lattice, cell registry, energy configuration and fields.

    ``World(dims, boundary, neighbor_order, temperature)``

    ``dims`` is a tuple ``(nx, ny, nz)`` of positive ints (a list is
    refused with ``TypeError``, a tuple of another length with
    ``ValueError``, a zero dimension with ``ValueError("dims: every
    dimension must be at least 1, got (nx, ny, nz)")``). ``boundary`` is ``"periodic"`` or ``"noflux"`` and
    applies to all three axes; anything else raises
    ``ValueError("bad boundary " + boundary)``. ``neighbor_order`` (0..255)
    chooses the neighbourhood: order 1 gives the axis faces, higher orders
    add edges and corners; a box one site thick in z gets a planar
    neighbourhood. ``temperature`` is the Metropolis temperature. The new
    World is in the set-up phase, with no cell but the medium and every site
    holding id 0. The class cannot be subclassed; instances have no
    ``__dict__`` and cannot be weakly referenced.
    """

    def __new__(
        cls, dims: tuple[int, int, int], boundary: str, neighbor_order: int, temperature: float
    ) -> World: ...

    # ---- set-up ----

    def add_cell(
        self,
        cell_type: int,
        target_volume: float,
        lambda_volume: float,
        target_surface: float,
        lambda_surface: float,
    ) -> int:
        """Register a new cell and return its id.

        The cell gets the type ``cell_type`` (u16), the volume target and
        strength, and the surface target and strength; it owns no site until
        painted with :meth:`seed_block` or :meth:`seed_from_labels`. Ids are
        handed out consecutively from 1. Set-up phase only: after
        :meth:`finalize` it raises ``RuntimeError("add_cell after
        finalize")`` and changes nothing.
        """

    def seed_block(self, cell_id: int, x0: int, y0: int, z0: int, x1: int, y1: int, z1: int) -> None:
        """Paint the box ``[x0, x1) x [y0, y1) x [z0, z1)`` with ``cell_id``.

        The upper corner is exclusive; an empty box (``x0 >= x1``, ``y0 >=
        y1`` or ``z0 >= z1``) paints nothing. A non-empty box reaching past
        the lattice (``x1 > nx``, ``y1 > ny`` or ``z1 > nz``) raises
        ``ValueError("seed_block box reaches outside the lattice")`` and
        paints nothing. Otherwise an id that is not registered (the medium,
        0, is) raises ``InternalError("cell id C is not registered")`` and
        paints nothing, an empty box included. Trackers are not updated
        before :meth:`finalize`. Set-up phase only, else
        ``RuntimeError("seed after finalize")``.
        """

    def seed_from_labels(
        self,
        labels: Sequence[int] | Buffer,
        types: dict[int, int],
        default_type: int,
        target_volume: float,
        lambda_volume: float,
    ) -> dict[int, int]:
        """Create one cell per distinct non-zero label and paint it.

        ``labels`` holds one u32 label per site in site-index order (any
        sequence but a ``str``); its length must equal ``nx*ny*nz``, else
        ``InternalError("labels length must equal n_sites")``. A label's
        cell takes its type from ``types`` (a ``dict`` label -> u16 type), or
        ``default_type``; every new cell gets ``target_volume`` and
        ``lambda_volume`` and no surface term. Sites labelled 0 keep what
        they hold. Returns ``{label: cell id}``, ids in order of first
        occurrence. Set-up phase only, else ``RuntimeError("seed after
        finalize")``.

        ``labels`` may also be any object with the buffer protocol holding
        integers of 1, 2, 4 or 8 bytes (a NumPy array of any integer dtype,
        any number of dimensions, C- or Fortran-ordered or strided), read in
        C order of ``(nz, ny, nx)`` without a Python object per element.
        Every label must lie in ``[0, 2**32 - 1]``, else ``ValueError("labels:
        ...")``; then its size must equal ``nx*ny*nz``, else (an empty array
        too) ``InternalError("labels length must equal n_sites")``, as for a
        sequence. Floats or other formats, and a 0-d array (one number, not
        a sequence), raise ``TypeError("argument 'labels': ...")``. Nothing
        changes when it is refused.
        """

    def set_contact(self, type_a: int, type_b: int, j: float) -> None:
        """Set the contact energy between cell types ``type_a`` and ``type_b``.

        The pair is symmetric: ``(a, b)`` and ``(b, a)`` get ``j``, and a
        later call for the same unordered pair wins. Before :meth:`finalize`
        the energy is recorded and installed when the contact table is
        built; afterwards it is recorded and applied to the running world at
        once (the table grows to cover the types if needed). Pairs never set
        have energy 0.0.
        """

    def set_target_volume(self, cell_id: int, v: float) -> None:
        """Set the volume target of cell ``cell_id`` (u32) to ``v``.

        Any registered id is accepted, the medium included; an id beyond
        the registry raises ``InternalError``. Works in both phases.
        """

    def set_cell_params(
        self,
        cell_id: int | Sequence[int] | Buffer,
        *,
        target_volume: float | Sequence[float] | Buffer | None = None,
        lambda_volume: float | Sequence[float] | Buffer | None = None,
        target_surface: float | Sequence[float] | Buffer | None = None,
        lambda_surface: float | Sequence[float] | Buffer | None = None,
    ) -> None:
        """Replace the given energy parameters of cell `cell_id`; the others keep
        their values. The surface term runs while some cell has lambda_surface != 0.

        ``cell_id`` is a u32; the parameters are keyword-only, and one left at
        ``None`` keeps its value. Any registered id is accepted, the medium
        included; an id beyond the registry raises ``InternalError``. Works
        in both phases.

        Batches: ``cell_id`` may also be a sequence or an integer array of
        ids (read in place); each value is then a scalar for every id, or a
        sequence or array of one value per id, else ``ValueError("NAME:
        expected N values, one per id, got M")``. Every id and length is
        checked before anything changes; the last value for a repeated id
        wins. An id beyond the registry refuses the whole batch.
        """

    def cell_table(self) -> dict[str, memoryview]:
        """One row per cell record (the medium first) as a dict of equal-length
        columns, each a memoryview: id, type, volume, surface, target_volume,
        lambda_volume, target_surface, lambda_surface, com_x, com_y, com_z,
        dir_x, dir_y, dir_z.

        After these, one float64 column per field, ``secretion_scale_0``,
        ``secretion_scale_1``, ... (by field index, as every field method
        names fields): each record's secretion multiplier, 1.0 where no
        scale was set.

        Columns ``id``, ``type``, ``volume``, ``surface`` (int64),
        ``target_volume``, ``lambda_volume``, ``target_surface``,
        ``lambda_surface``, ``com_x``, ``com_y``, ``com_z``, ``dir_x``,
        ``dir_y``, ``dir_z`` (float64), each a 1-D ``memoryview`` of a fresh
        copy: ``numpy.asarray(column)`` and ``pandas.DataFrame(world.cell_table())``
        take them as they are. The centre of mass is that of :meth:`cell_coms`;
        the direction that of :meth:`cell_directions`. Works in both phases.
        """

    def site_view(self) -> memoryview:
        """A read-only memoryview of the site ids without a copy: format 'I',
        shape (nz, ny, nx), so view[z, y, x] is site x + nx*(y + ny*z). It shows
        the live lattice and keeps the World alive.

        Format ``"I"`` is uint32, in C order. After :meth:`step` the view shows
        the new state; ``numpy.asarray(view)`` copies nothing. The memory it
        shows is never freed or moved while the World lives, so the view stays
        valid. Works in both phases; a view taken
        before :meth:`finalize` stays valid after it.
        """

    def field_view(self, field_idx: int) -> memoryview:
        """A writable memoryview of field `field_idx`'s concentrations without a
        copy: format 'f', shape (nz, ny, nx); writing into it sets the field.

        Format ``"f"`` is float32, laid out like :meth:`site_view`; write
        initial conditions or sinks through it. A field index beyond the fields raises
        ``InternalError``. Works in both phases.
        """

    def __repr__(self) -> str:
        """Dims, boundary, neighbour order, temperature, phase, number of cells and fields."""

    def snapshot(self) -> list[int]:
        """Return the cell id of every site, in site-index order.

        A list of ``nx*ny*nz`` ints; before :meth:`finalize` it shows what
        was painted. Works in both phases.
        """

    def dims(self) -> tuple[int, int, int]:
        """Return ``(nx, ny, nz)`` exactly as given to the constructor."""

    def n_cells(self) -> int:
        """Return the number of registered cells, not counting the medium.

        Removed cells keep their records and are counted.
        """

    # ---- finalize and step ----

    def finalize(self, seed: int) -> None:
        """End the set-up phase and start the sweep driver.

        Builds the contact table (one row per type up to the largest type
        mentioned by :meth:`add_cell`, :meth:`set_contact`,
        :meth:`seed_from_labels` and the per-type switches), rebuilds every
        tracker from the sites, and seeds the random number generator from
        ``seed`` (u64). A second call raises ``RuntimeError("already
        finalized")``. Settings the dynamics accepts but that are almost
        certainly mistakes (a temperature that is not a positive finite
        number; NaN in a contact energy, a target or a λ; a negative λ of
        the volume, surface or length terms; a NaN or negative membrane
        stiffness; a field whose explicit diffusion step is unstable,
        ``d*dt`` above ``1/(2*dimensions)``, or whose ``decay*dt`` exceeds 1)
        are each reported once as a ``RuntimeWarning``; results are
        unchanged. If it fails (a painted id that was never registered
        raises ``InternalError``, a table too large to hold raises
        ``MemoryError``) the World stays in the set-up phase, unchanged.
        """

    def step(self, mcs: int) -> None:
        """Run ``mcs`` (u64) Monte Carlo steps of the sequential Metropolis sweep.

        One step is ``nx*ny*nz`` copy attempts followed by one advance of the
        fields. Running phase only, else ``RuntimeError("call finalize()
        first")``. Signals are checked between steps: Ctrl-C stops the run
        there (the steps done stay) and raises ``KeyboardInterrupt``.
        """

    def step_parallel(self, mcs: int, block: int = 16) -> None:
        """Parallel checkerboard sweep across CPU cores (opt-in; approximate but
        validated to track the sequential dynamics). `block` is the tile side
        (>=2). Set RAYON_NUM_THREADS to cap threads. Not for length-constraint models.

        Runs ``mcs`` (u64) Monte Carlo steps on tiles of side ``block``.
        ``block < 2`` raises ``InternalError("block side must be >= 2")``
        before any work, even for ``mcs == 0``. Every term runs as in
        :meth:`step`, the length constraint included. Running phase only, else ``RuntimeError("call finalize()
        first")``. Signals are checked between steps, as in :meth:`step`.
        """

    # ---- configuration ----

    def grow(self, cell_type: int, rate: float) -> None:
        """Add ``rate`` to the volume target of every cell of type ``cell_type``.

        The medium is never touched; a negative rate shrinks targets; a type
        with no cells makes the call a no-op. Works in both phases.
        """

    def add_field(self, name: str, d: float, decay: float) -> int:
        """Add a diffusing field and return its index (0, 1, 2, ...).

        ``d`` is the diffusion coefficient and ``decay`` the first-order
        decay rate; concentrations start at 0. Set-up phase only, else
        ``RuntimeError("add_field after finalize")``.
        """

    def set_junction(self, cell_type: int, on: bool) -> None:
        """Switch junction forming on or off for cell type ``cell_type``.

        ``on`` must be a ``bool``. The junction term is active while its
        strength (:meth:`set_junction_lambda`) is positive and some type is
        switched on. Works in both phases.
        """

    def set_junction_lambda(self, lambda_: float, /) -> None:
        """Set the strength of the junction term.

        The parameter's name is ``lambda``, a Python keyword: pass it
        positionally (or as ``**{"lambda": value}``). Works in both phases.
        """

    def set_membrane(self, anchors: Sequence[int], k: float, band: float) -> None:
        """Set the membrane anchors, stiffness ``k`` and penalty-free ``band``.

        ``anchors`` is a sequence (not a ``str``) of site indices. Cells of
        anchored types (:meth:`set_membrane_anchored`) pay
        ``k*max(d - band, 0)**2`` per site, ``d`` being the L1 distance to
        the nearest anchor. Works in both phases.
        """

    def set_membrane_anchored(self, cell_type: int, on: bool) -> None:
        """Switch the membrane term on or off for cell type ``cell_type``.

        ``on`` must be a ``bool``. Works in both phases.
        """

    def set_cell_type(self, cell_id: int | Sequence[int] | Buffer, new_type: int | Sequence[int] | Buffer) -> None:
        """Set the type of cell ``cell_id`` to ``new_type``.

        Nothing else changes. An id beyond the registry raises
        ``InternalError``. A type introduced only this way after
        :meth:`finalize` lies outside the contact table and pays no contact
        energy. Works in both phases.

        A type that no energy setting names (no :meth:`set_contact` call in
        either phase, and no non-zero per-type setting of a term: chemotaxis,
        membrane anchoring, junctions, length, external force, Act,
        persistence) warns with a ``RuntimeWarning`` naming the type, once
        per type and World object (a copy or a loaded world warns afresh),
        before anything changes; results are unchanged.

        Batches: ``cell_id`` may also be a sequence or an integer array of
        ids (read in place); each value is then a scalar for every id, or a
        sequence or array of one value per id, else ``ValueError("NAME:
        expected N values, one per id, got M")``. Every id and length is
        checked before anything changes; the last value for a repeated id
        wins. Each new type
        of a batch warns as above, before anything changes.
        """

    def set_secretion(self, field_idx: int, cell_type: int, rate: float) -> None:
        """Set the secretion rate of cell type ``cell_type`` into field ``field_idx``.

        A field index beyond the fields raises ``InternalError``. Works in
        both phases.
        """

    def set_cell_secretion_scale(
        self, field_idx: int, cell_id: int | Sequence[int] | Buffer, scale: float | Sequence[float] | Buffer
    ) -> None:
        """Scale the secretion of cell ``cell_id`` into field ``field_idx`` by ``scale``.

        A field index beyond the fields raises ``InternalError``. Works in
        both phases. One id is not checked against the registry (a scale set
        for an id not yet registered applies once it is).

        Batches: ``cell_id`` may also be a sequence or an integer array of
        ids (read in place); each value is then a scalar for every id, or a
        sequence or array of one value per id, else ``ValueError("NAME:
        expected N values, one per id, got M")``. Every id and length is
        checked before anything changes; the last value for a repeated id
        wins. Unlike one
        id, every id of a batch must be registered, else the whole batch is
        refused. The scales read back as the ``secretion_scale_<field_idx>``
        columns of :meth:`cell_table`.
        """

    def set_uptake(
        self, field_idx: int, cell_type: int, max_rate: float, km: float = 0.0, scale_by: str | None = None
    ) -> None:
        """Cells of type `cell_type` take up field `field_idx`: each advance, after
        secretion, removes min(c, dt*max_rate*s*c/(km + c)) from every site of
        such a cell (min(c, dt*max_rate*s) when km = 0), s being 1 or the cell's
        value of the attribute `scale_by`. Never below zero; max_rate 0 stops it.

        Computed in double from the stored (float32) value ``c`` and stored as
        float32: ``q = dt*(max_rate*s)``, ``r = q`` or ``q*c/(km + c)``, then
        ``c - r``, or 0 where ``r >= c``. Sites with ``c <= 0`` and cells whose
        ``s`` is negative or NaN take nothing. A second call for the same type
        replaces the first. A field index beyond the fields raises
        ``InternalError``; a negative or NaN ``max_rate`` or ``km`` raises
        ``ValueError`` naming it, and a ``scale_by`` that names no cell
        attribute raises ``ValueError`` naming ``scale_by``. Works in both
        phases.
        """

    def set_field_boundary(self, field_idx: int, value: float | None) -> None:
        """Hold field `field_idx` at `value` outside the box on its non-periodic
        faces (x and y only on a planar box): in the diffusion step the outside
        neighbour of a site on such a face holds `value`. None restores no-flux.

        The Laplacian's term for such a face is ``float32(value) - c``, added
        in the face's place of the order x-, x+, y-, y+, z-, z+. Periodic
        faces are unaffected. A field index beyond the fields raises
        ``InternalError``; a negative, infinite or NaN ``value`` raises
        ``ValueError`` naming ``value``. Works in both phases.
        """

    def advance_fields(self, n: int) -> None:
        """Advance every field ``n`` (u32) times: diffusion, decay, secretion.

        ``n == 0`` does nothing; ``advance_fields(3)`` equals three single
        calls. Works in both phases.
        """

    def set_chemotaxis(self, field_idx: int, cell_type: int, lambda_val: float) -> None:
        """Set the chemotactic strength of cell type ``cell_type`` towards field ``field_idx``.

        Copies into higher concentration lower the energy by ``lambda_val``
        times the concentration difference. A field index beyond the fields
        raises ``InternalError``. Works in both phases.
        """

    def set_chemotaxis_occupancy(
        self, field_idx: int, cell_type: int, lambda_val: float, kd: float, hill: float, scale: float
    ) -> None:
        """Set saturating (receptor-occupancy) chemotaxis for ``cell_type``.

        The term reads ``x**hill / (kd**hill + x**hill)`` with ``x =
        max(concentration*scale, 0)`` instead of the concentration, when
        ``kd > 0``. A field index beyond the fields raises
        ``InternalError``. Works in both phases.
        """

    def set_connectivity(self, cell_type: int, on: bool) -> None:
        """Guard cells of type ``cell_type`` against being split by a copy.

        ``on`` must be a ``bool``. Works in both phases.
        """

    def set_connectivity_medium(self, on: bool) -> None:
        """Guard the medium too against being split by a copy.

        ``on`` must be a ``bool``. Works in both phases.
        """

    def set_field_dynamics(self, field_idx: int, dt: float, substeps: int) -> None:
        """Set the time step ``dt`` and diffusion substeps per advance of field ``field_idx``.

        A field index beyond the fields raises ``InternalError``. Works in
        both phases.
        """

    def field_add_source_at(self, field_idx: int, x: int, y: int, z: int, amount: float) -> None:
        """Add `amount` to field `field_idx`'s concentration at site (x, y, z);
        out-of-range coordinates are clamped to the domain rather than panicking.

        The addition is made in single precision and has no bounds, so a
        negative amount can make a concentration negative. A field index
        beyond the fields raises ``InternalError``; negative coordinates
        raise ``OverflowError``. Works in both phases.
        """

    def set_length_constraint(self, cell_type: int, target_length: float, lambda_: float, /) -> None:
        """Constrain the major-axis length of cells of type ``cell_type``.

        Each such cell pays ``lambda*(L - target_length)**2``. The third
        parameter's name is ``lambda``, a Python keyword: pass it
        positionally (or as ``**{"lambda": value}``). A positive strength makes
        :meth:`step_parallel` refuse to run. Works in both phases.
        """

    def set_external_potential(self, cell_type: int, fx: float, fy: float, fz: float) -> None:
        """Apply a constant force ``(fx, fy, fz)`` to cells of type ``cell_type``.

        The potential is ``-F . (x, y, z)`` per site, in raw lattice
        coordinates. Works in both phases.
        """

    def divide_cells(self, threshold: float, reset_target: float) -> list[int]:
        """Divide every cell whose volume reached ``threshold``; return the new ids.

        Each qualifying cell is split across the longest side of its
        bounding box: the lower half keeps the id, the upper half becomes a
        new cell; both get the volume target ``reset_target``. Trackers are
        recomputed. Returns ``[]`` when no cell qualifies. Works in both
        phases.

        The daughters take their parents' type, parameters, frozen flag,
        direction and track, and the cell attributes follow their
        ``on_divide`` rules; a daughter starts with no secretion scale (1 in
        every field), unlike one of :meth:`divide_cell`.
        """

    def remove_cells(self, ids: Sequence[int]) -> None:
        """Hand every site of the given cells back to the medium.

        ``ids`` is a sequence (not a ``str``) of cell ids; the medium and
        ids beyond the registry are ignored. Removed cells keep their
        records with zero trackers. Trackers are recomputed unless ``ids``
        is empty. Works in both phases.
        """

    def add_cell_ode(
        self,
        equations: str,
        *,
        params: dict[str, float] | None = None,
        cell_types: Sequence[int] | None = None,
        dt: float = 1.0,
        substeps: int = 1,
    ) -> int:
        """Add a system of equations that every cell integrates after each Monte
        Carlo step: one NAME' = EXPR per line, NAME a cell attribute. Return its index.

        After the fields advance, each cell of ``cell_types`` (default: every
        type but the medium's) that owns a site advances the attributes by
        ``dt`` in ``substeps`` classical RK4 steps. What a cell reads of its
        neighbours (``nbr_mean``, ``nbr_sum``), of the fields (``field``) and
        every attribute without an equation here is read once at the start
        and held. Blank lines and ``#`` comments are allowed; the expression
        language is in the guide ("Cells with state"). Systems run in the
        order they were added. A syntax error, an unknown name or function
        raises ValueError naming the line, the column and the word, and adds
        nothing. Works in both phases; checkpoints keep the text.
        """

    def add_cell_rule(
        self,
        assignments: str,
        *,
        params: dict[str, float] | None = None,
        cell_types: Sequence[int] | None = None,
    ) -> int:
        """Add rules that every cell applies after the systems of each Monte Carlo
        step: one NAME = EXPR per line, each line for every cell before the next.
        Return its index.

        NAME is a cell attribute or one of ``target_volume``,
        ``lambda_volume``, ``target_surface``, ``lambda_surface``,
        ``cell_type``. The cells are those of ``cell_types`` (default: every
        type but the medium's) owning a site when the rule starts. A
        ``cell_type`` value is rounded (half away from zero); one outside
        0-65535, or NaN, leaves the type unchanged. Rules run in the order
        they were added, after every system. Errors as in ``add_cell_ode``.
        """

    def set_division_rule(
        self,
        condition: str | None,
        *,
        orientation: Literal["major", "minor", "random"] = "major",
        params: dict[str, float] | None = None,
        cell_types: Sequence[int] | None = None,
    ) -> None:
        """After the rules of each Monte Carlo step, divide every cell whose condition
        is not 0, in id order, as divide_cell does; None clears the rule.

        ``condition`` is one expression. The cells are those of
        ``cell_types`` (default: every type but the medium's) owning a site;
        a NaN condition counts as true, as in ``if``. Each cut goes through
        the centroid across the ``orientation`` (``"random"`` draws from the
        rule's own stream, seeded by ``finalize``); a cell that cannot be cut
        stays whole. Daughters get the attributes' ``on_divide`` rules and
        what ``divide_cell`` gives them. Errors as in ``add_cell_ode``.
        """

    def add_cell_sbml(
        self,
        source: str | os.PathLike[str],
        *,
        cell_types: Sequence[int] | None = None,
        dt: float = 1.0,
        substeps: int = 1,
    ) -> int:
        """Add the system of an SBML model, as tessaly.sbml_equations translates it:
        an attribute for every species the world does not have yet, every cell
        starting at the model's initial value, then the equations, as add_cell_ode
        adds them. Return the system's index.

        ``source`` is what :func:`sbml_equations` takes (a path or SBML
        text), and its errors are that function's. Attributes that exist
        already keep their values, so per-cell initial values may be set
        before the call; new ones copy on division. ``cell_types``, ``dt``
        (in the model's unit of time, per Monte Carlo step) and
        ``substeps`` are those of :meth:`add_cell_ode`. A species whose
        attribute name is a column of :meth:`cell_table` is refused with
        ``ValueError("source: ...")``; a refusal adds nothing. Works in
        both phases; needs python-libsbml.
        """

    def add_link(
        self,
        a: int | Sequence[int] | Buffer,
        b: int | Sequence[int] | Buffer,
        lambda_: float | Sequence[float] | Buffer,
        length: float | Sequence[float] | Buffer,
        max_length: float | Sequence[float] | Buffer | None = None,
    ) -> None:
        """Link cells a and b by a spring between their centroids, of energy
        lambda_*(d - length)**2; after a Monte Carlo step it breaks at d > max_length
        (None: never).
        A second link between the same cells replaces the first.
        a and b may also be sequences or integer arrays of equal length, linking
        a[k] with b[k]; each value is then a scalar for every link or one per link.

        ``d`` is the distance between the centroids of ``cell_centroids()``,
        by minimum image on periodic axes. Two distinct registered cells
        other than the medium; ``lambda_``, ``length`` and ``max_length``
        >= 0 (not NaN), else ``ValueError`` naming the argument, and
        nothing changes. Works in both phases.

        Batches are checked whole before anything changes (a refusal names
        the argument and the link's position, ``"... (link K)"``); of two
        links for one pair in a batch the later wins. A batch costs one
        rebuild of the links, where one call per link costs one each: build
        a network of thousands of links in one call.
        """

    def remove_link(self, a: int, b: int) -> None:
        """Remove the link between cells a and b.

        ``ValueError`` naming both ids when they are not linked.
        """

    def set_link_formation(
        self,
        type_a: int,
        type_b: int,
        lambda_: float,
        length: float,
        max_length: float | None = None,
        max_links: int | None = None,
    ) -> None:
        """After each Monte Carlo step, link every two touching cells of types type_a
        and type_b that are not linked yet, in order of their ids, unless one of
        them already has max_links links to cells of this type pair. A second
        call for the same pair replaces the rule.

        The new links carry ``lambda_``, ``length`` and ``max_length``.
        Links break first (``d > max_length``), then form. Works in both
        phases.
        """

    def divide_cell(
        self,
        cell_id: int | Sequence[int],
        orientation: str | tuple[float, float, float] = "major",
        target_volumes: tuple[float, float] | None = None,
        *,
        links: str = "keep",
    ) -> int | list[int]:
        """Divide one cell through its centroid by a plane whose normal is its major
        axis, its minor axis, a random direction or a given (x, y, z); the sites on
        the positive side go to a new cell. Return the new cell's id.
        links="keep" leaves the cell's links on it; "share" hands each to
        whichever of the two cells is nearer the linked cell.

        ``orientation`` is ``"major"`` (the cut goes across the cell's
        length), ``"minor"``, ``"random"`` (drawn from the World's generator,
        running phase only) or a tuple of three floats. The daughter copies
        the parent's type, strengths, surface target, frozen flag and
        direction; both cells get ``target_volumes`` (parent, daughter) or
        half the parent's target. A cell of fewer than two sites, the
        medium, a bad orientation or a cut leaving one side empty raise
        ``ValueError`` and change nothing. Works in both phases.

        The daughter also takes the parent's secretion scale in every field
        and its track, and every cell attribute follows its ``on_divide``
        rule. A normal along z on a planar box raises ``ValueError``
        ("orientation: the normal lies out of the plane of a planar box, got
        (0, 0, 1)"); a normal with a part in the plane is used in the plane.

        ``cell_id`` may be a sequence of ids (a list, tuple or 1-D integer
        array): each is divided in turn, as by one call each, and the list
        of new ids is returned in the same order. A refusal of any of them
        (the messages above, with ``", got ID at position K"``, or an id
        given twice) refuses the whole batch before anything changes, the
        generator included. In the running phase a division costs the size
        of the cell, not of the lattice.
        """

    def add_cell_attribute(self, name: str, default: float = 0.0, on_divide: str = "copy") -> None:
        """Add a per-cell attribute: a float64 column of cell_table() called `name`,
        `default` for every record and every new cell. When a cell divides, both
        cells keep the value ("copy"), each gets it times its share of the sites
        ("split"), or both get the default ("reset").

        ``name`` must be a Python identifier that names no column of
        :meth:`cell_table` and no attribute already added; ``on_divide`` one
        of the three rules. Anything else raises ``ValueError`` naming the
        argument and changes nothing. Both division methods apply the rules;
        checkpoints, pickles and copies keep the attributes. Works in both
        phases.
        """

    def cell_attribute(self, name: str) -> memoryview:
        """The attribute's value for every cell record, indexed by id (the medium
        first): a float64 memoryview of n_cells() + 1 items, a copy.

        ``numpy.asarray`` takes it without copying again. An unknown name
        raises ``KeyError``.
        """

    def set_cell_attribute(
        self, name: str, values: float | Sequence[float], ids: Sequence[int] | None = None
    ) -> None:
        """Write the attribute: `values` (a float, or one per record) to every
        record, or, with `ids` (a sequence of registered ids), to those records
        (a float, or one per id; a repeated id takes its last value).

        ``values`` and ``ids`` may be sequences or 1-D arrays (read through
        the buffer protocol). A wrong length or an unregistered id raises
        ``ValueError`` naming the argument, an unknown name ``KeyError``;
        nothing changes then.
        """

    def set_cell_frozen(self, cell_id: int | Sequence[int] | Buffer, frozen: bool | Sequence[bool]) -> None:
        """Freeze (or free) one cell: no copy into or out of its sites is accepted.

        For walls, obstacles and sources. The medium cannot be frozen
        (``ValueError``). Works in both phases.

        Batches: ``cell_id`` may also be a sequence or an integer array of
        ids (read in place); each value is then a scalar for every id, or a
        sequence or array of one value per id, else ``ValueError("NAME:
        expected N values, one per id, got M")``. Every id and length is
        checked before anything changes; the last value for a repeated id
        wins. A batch naming the
        medium anywhere raises the same ``ValueError``; an unregistered id
        refuses it with ``InternalError``.
        """

    def set_act(self, cell_type: int, lambda_act: float, max_act: int) -> None:
        """The Act model for cells of the type: sites they gain take activity max_act
        (0-255), which decays by 1 per Monte Carlo step.

        A copy adds ``(lambda_act/max_act)*(A(target) - A(source))``, A the
        geometric (or arithmetic) mean activity of a site and its
        neighbours of the same cell. The term is on while some type has
        ``lambda_act != 0`` and ``max_act > 0``. Works in both phases.
        """

    def set_act_mean(self, kind: str) -> None:
        """The mean of the Act model's local activity: "geometric" or "arithmetic"."""

    def activity_view(self) -> memoryview:
        """A read-only memoryview of the Act activities without a copy: format 'B',
        shape (nz, ny, nx), laid out as site_view. It shows the live values and
        keeps the World alive.

        The activities are made (all 0) by the first :meth:`set_act` or
        :meth:`activity_view` and never move. Works in both phases.
        """

    def set_persistence(self, cell_type: int, lambda_dir: float, delta_t: int, persist: float) -> None:
        """Persistent motion for cells of the type along a preferred direction that
        follows their displacement over the last delta_t steps.

        A copy from a cell's site adds ``-lambda_dir * (u . (x_t - x_s))``;
        after each Monte Carlo step ``u`` turns towards the displacement,
        keeping the weight ``persist`` (0 to 1) of the old direction.
        ``delta_t`` is 1 to 10000 steps. Switches tracking on. Works in both phases.
        """

    def set_tracking(self, on: bool) -> None:
        """Keep every cell's track, its centroid displacement accumulated over the
        Monte Carlo steps."""

    # ---- observables ----

    def cell_centroids(self) -> list[tuple[float, float, float]]:
        """Every cell's centroid, right across periodic faces.

        On a periodic axis the mean of the coordinates unwrapped about the
        cell's previous centroid (or its circular mean), wrapped into the
        box; ``(0.0, 0.0, 0.0)`` for a cell without sites.
        """

    def cell_tracks(self) -> list[tuple[float, float, float]]:
        """Every cell's accumulated centroid displacement since tracking began.

        Tracks are kept while :meth:`set_tracking` is on or persistence
        (some type with ``lambda_dir > 0``) needs them; otherwise this raises
        ``RuntimeError("cell_tracks: tracking is off; call set_tracking(True)
        before stepping")``, since tracks never kept would read as cells that
        never moved.
        """

    def cell_directions(self) -> list[tuple[float, float, float]]:
        """Every cell's preferred direction of persistent motion.

        ``(0.0, 0.0, 0.0)`` until the cell has one.
        """

    def cell_coms(self) -> list[tuple[float, float, float]]:
        """Return every cell's centre of mass, one tuple per registry entry.

        Entry i is ``(sum_x/V, sum_y/V, sum_z/V)`` of cell i in raw lattice
        coordinates (no periodic correction), or ``(0.0, 0.0, 0.0)`` when
        its volume V is 0. Trackers are exact from :meth:`finalize` on.
        """

    def cell_types(self) -> list[int]:
        """Return every cell's type, one int per registry entry (entry 0: the medium)."""

    def cell_volumes(self) -> list[int]:
        """Return every cell's volume in sites, one int per registry entry.

        Before :meth:`finalize` the trackers are not maintained and read 0
        unless a division or removal recomputed them.
        """

    def cell_surfaces(self) -> list[int]:
        """Return every cell's surface, one int per registry entry.

        The surface counts (own site, neighbouring site of another cell)
        pairs in the configured neighbourhood.
        """

    def cell_lengths(self) -> list[float]:
        """Return every cell's major-axis length, one float per registry entry."""

    def cell_length(self, cell_id: int) -> float:
        """Return the major-axis length of cell ``cell_id``.

        An id beyond the registry raises ``InternalError``.
        """

    def cell_contact_area_by_type(self, cell_id: int) -> dict[int, int]:
        """Per-cell contact-area-by-type: dict[cell_type -> contact-area] of how
        much of `cell_id`'s surface contacts each neighbor cell type (MEDIUM=0
        included). Contact area uses the configured (Moore) neighborhood, the
        same one `cell_surfaces()` uses -- not axis-faces only -- so the sum of
        values equals `cell_surfaces()[cell_id]`. Pure read.

        An id owning no site, or beyond the registry, gives ``{}``; this
        never raises for a valid u32.
        """

    def field_conc(self, field_idx: int) -> list[float]:
        """Return the concentrations of field ``field_idx``, one per site in site-index order.

        A field index beyond the fields raises ``InternalError``.
        """

    def field_value_at(self, field_idx: int, x: int, y: int, z: int) -> float:
        """Concentration of field `field_idx` at site (x, y, z); out-of-range
        coordinates are clamped to the domain rather than panicking.

        A field index beyond the fields raises ``InternalError``; negative
        coordinates raise ``OverflowError``.
        """

    def field_mean_at_cell(self, field_idx: int, cell_id: int) -> float:
        """Return the mean concentration of field ``field_idx`` over the sites of cell ``cell_id``.

        A cell id beyond the registry raises ``InternalError``; a cell of
        volume 0 gives 0.0 whatever ``field_idx`` is; otherwise a field
        index beyond the fields raises ``InternalError``.
        """

    def cell_neighbors(self) -> dict[str, memoryview]:
        """The neighbour graph as a dict of three int64 columns, each a memoryview:
        id_a, id_b, area, one row per pair of records in contact (id_a < id_b;
        the medium, 0, included), sorted by (id_a, id_b). area counts a cell's
        (site, configured neighbour) pairs with the other, the units of
        cell_contact_area_by_type. Running, the first call has copies keep it.

        Summed over a cell's rows by its partner's type, ``area`` gives
        :meth:`cell_contact_area_by_type` exactly (a pair counts once, not from
        both sides). Each column is a 1-D ``memoryview`` of a fresh copy
        (format ``"q"``): ``numpy.asarray(column)`` takes it as it is. In the
        running phase the first call switches the graph's upkeep on, so that
        later calls cost O(cells + pairs); before :meth:`finalize` it is built
        from the sites, and a site holding an unregistered id raises
        ``InternalError``.
        """

    def field_means(self, field_idx: int) -> memoryview:
        """The mean concentration of field `field_idx` over each record's sites,
        by id (the medium first), as a float64 memoryview; NaN for a record
        without sites. One pass over the sites, summed in double in site order.

        For a cell with sites each value equals :meth:`field_mean_at_cell` bit
        for bit (that one gives 0.0 for an empty cell). A field index beyond
        the fields, or (before :meth:`finalize`) a site holding an
        unregistered id, raises ``InternalError``. Works in both phases.
        """

    def cell_links(self) -> dict[str, memoryview]:
        """Every link as a dict of equal-length columns, each a memoryview, sorted by
        (id_a, id_b): id_a < id_b (int64), lambda, length, max_length and the
        current distance between the centroids (float64; NaN where a cell has no
        site).
        """

    # ---- checkpoints ----

    def to_bytes(self) -> bytes:
        """The complete state of the world, in either phase, as checkpoint bytes:
        World.from_bytes(w.to_bytes()) continues exactly as w would.

        The bytes hold the box, the site ids, every cell record with its
        trackers and parameters, the contact energies, every field and every
        term's settings, the phase and the generator state; they are the
        same on every machine (format: docs/checkpoint.md).
        """

    @classmethod
    def from_bytes(cls, data: Buffer) -> Self:
        """A World restored from checkpoint bytes (any bytes-like object); ValueError
        when they are not a checkpoint, damaged, or from a newer tessaly.

        The messages say what is wrong: ``"not a tessaly checkpoint"``,
        ``"checkpoint damaged: checksum mismatch"`` (and other
        ``"checkpoint damaged: ..."``), ``"written by a newer tessaly
        (format N; this one reads up to M)"``.
        """

    def save(self, path: str | os.PathLike[str] | bytes) -> None:
        """Write the world's checkpoint to `path` (str or os.PathLike) through a
        temporary file renamed over it: a crash leaves the old file or the new one.

        The temporary file lies in the same directory, is synced to the disk
        before the rename, and the directory is synced after it. A failure
        raises ``OSError`` naming the file.
        """

    @classmethod
    def load(cls, path: str | os.PathLike[str] | bytes) -> Self:
        """A World restored from a checkpoint file written by save(); reads only
        that format and runs no code from the file.

        Raises ``OSError`` when the file cannot be read and ``ValueError`` as
        ``from_bytes`` does.
        """

    def __reduce__(self) -> tuple[object, tuple[bytes]]:
        """Pickle support: the checkpoint bytes."""

    def __copy__(self) -> Self:
        """An independent copy of the world (nothing is shared)."""

    def __deepcopy__(self, memo: object) -> Self:
        """An independent copy of the world."""
