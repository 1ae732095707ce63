"""sbml_equations and add_cell_sbml: the translated equations, integrated by
the engine, follow libRoadRunner's trajectories; what cannot be translated is
refused."""

import math
import re

import pytest

import tessaly

np = pytest.importorskip("numpy")
libsbml = pytest.importorskip("libsbml")


def reaction_side(model_reaction, text, add):
    for term in filter(None, (t.strip() for t in text.split("+"))):
        amount, _, species = term.rpartition(" ")
        reference = add()
        reference.setSpecies(species)
        reference.setStoichiometry(float(amount or 1))
        reference.setConstant(True)


def build(compartments, species, parameters, reactions=(), rates=None, assignments=None, functions=None,
          starts=None, conversion=None):
    """SBML text of a model: species {id: (compartment, start, "c"oncentration | "a"mount | "b"oundary)},
    reactions [(id, "A + 2 B -> C", law, {local: value})], rules and initial assignments as formulas."""
    document = libsbml.SBMLDocument(3, 2)
    model = document.createModel()
    model.setId("model")
    for cid, size in compartments.items():
        c = model.createCompartment()
        c.setId(cid), c.setSize(size), c.setConstant(True), c.setSpatialDimensions(3)
    for sid, (compartment, start, kind) in species.items():
        s = model.createSpecies()
        s.setId(sid), s.setCompartment(compartment), s.setConstant(False)
        s.setHasOnlySubstanceUnits(kind == "a"), s.setBoundaryCondition(kind == "b")
        s.setInitialAmount(start) if kind == "a" else s.setInitialConcentration(start)
        if conversion and sid in conversion:
            s.setConversionFactor(conversion[sid])
    for pid, value in parameters.items():
        p = model.createParameter()
        p.setId(pid), p.setValue(value), p.setConstant(pid not in (rates or {}) and pid not in (assignments or {}))
    for fid, formula in (functions or {}).items():
        f = model.createFunctionDefinition()
        f.setId(fid), f.setMath(libsbml.parseL3Formula(formula))
    for rid, scheme, law, local in reactions:
        r = model.createReaction()
        r.setId(rid), r.setReversible(False)
        left, right = scheme.split("->")
        reaction_side(r, left, r.createReactant)
        reaction_side(r, right, r.createProduct)
        listed = {r.getReactant(i).getSpecies() for i in range(r.getNumReactants())}
        listed |= {r.getProduct(i).getSpecies() for i in range(r.getNumProducts())}
        for name in sorted(set(re.findall(r"\w+", law)) & set(species) - listed):
            r.createModifier().setSpecies(name)
        k = r.createKineticLaw()
        for name, value in local.items():
            p = k.createLocalParameter()
            p.setId(name), p.setValue(value)
        k.setMath(libsbml.parseL3Formula(law))
    for variable, formula in (rates or {}).items():
        model.createRateRule().setVariable(variable)
        model.getRateRule(variable).setMath(libsbml.parseL3Formula(formula))
    for variable, formula in (assignments or {}).items():
        model.createAssignmentRule().setVariable(variable)
        model.getAssignmentRule(variable).setMath(libsbml.parseL3Formula(formula))
    for symbol, formula in (starts or {}).items():
        a = model.createInitialAssignment()
        a.setSymbol(symbol), a.setMath(libsbml.parseL3Formula(formula))
    return libsbml.writeSBMLToString(document)


# the repressilator (three repressors in a ring), in a compartment of size 2: every
# law is an amount per time, so the translation divides by the size again
REPRESSILATOR = build(
    {"cell": 2.0},
    {f"{kind}{i}": ("cell", start, "c") for kind, starts in (("m", (0.2, 0.1, 0.3)), ("p", (1.0, 2.0, 3.0)))
     for i, start in enumerate(starts, 1)},
    {"alpha": 216.0, "alpha0": 0.216, "beta": 5.0, "n": 2.0},
    [reaction for i, j in ((1, 3), (2, 1), (3, 2)) for reaction in (
        (f"transcribe{i}", f"-> m{i}", f"cell * (alpha0 + repress(p{j}, alpha, n))", {}),
        (f"decay_m{i}", f"m{i} ->", f"cell * kd * m{i}", {"kd": 1.0}),
        (f"translate{i}", f"-> p{i}", f"cell * beta * m{i}", {}),
        (f"decay_p{i}", f"p{i} ->", f"cell * beta * p{i}", {}))],
    functions={"repress": "lambda(x, a, h, a / (1 + x^h))"},
)

# the minimal mitotic oscillator: cyclin C as a concentration, the
# active fractions of cdc2 (M) and of the protease (X) as amounts, the two
# maximal rates as assignment rules (listed before what they use)
MITOTIC = build(
    {"cell": 1.5},
    {"C": ("cell", 0.01, "c"), "M": ("cell", 0.01, "a"), "X": ("cell", 0.01, "a")},
    {"vi": 0.025, "vd": 0.25, "Kd": 0.02, "kd": 0.01, "VM1": 3.0, "V1": 0.0, "V2": 1.5, "VM3": 1.0, "V3": 0.0,
     "V4": 0.5, "Kc": 0.5, "K1": 0.005, "K2": 0.005, "K3": 0.005, "K4": 0.005},
    [("synthesis", "-> C", "cell * vi", {}),
     ("degradation", "C ->", "cell * (vd * X * C / (Kd + C) + kd * C)", {}),
     ("activation", "-> M", "V1 * (1 - M) / (K1 + 1 - M)", {}),
     ("inactivation", "M ->", "V2 * M / (K2 + M)", {}),
     ("protease_on", "-> X", "V3 * (1 - X) / (K3 + 1 - X)", {}),
     ("protease_off", "X ->", "V4 * X / (K4 + X)", {})],
    assignments={"V1": "VM1 * C / (Kc + C)", "V3": "VM3 * M"},
)

# a Brusselator with what the other two leave out: boundary species, a
# stoichiometry of 2, a conversion factor, rate rules (one on a parameter
# named `volume`), chained assignment rules, initial assignments, piecewise,
# logical and n-ary functions, a reaction's rate used by name
BRUSSELATOR = build(
    {"box": 0.5},
    {"A": ("box", 1.0, "b"), "B": ("box", 3.0, "b"), "X": ("box", 1.0, "c"), "Y": ("box", 0.0, "a")},
    {"k1": 1.0, "k2": 1.0, "k3": 1.0, "k4": 0.0, "cf": 0.5, "volume": 0.5, "w": 0.0, "u": 0.0},
    [("feed", "A -> X", "box * piecewise(k1 * A, A > 0 && B > 0, 0)", {}),
     ("autocatalysis", "2 X + Y -> 3 X", "k2 * X^2 * Y", {}),
     ("conversion", "B + X -> Y", "box * k3 * B * X", {}),
     ("decay", "X ->", "box * k4 * X", {})],
    rates={"volume": "log(1 + X) - w / 2 + 0.1 * root(3, 1 + Y) - max(0, X, 1) / 10 + conversion / 100"},
    assignments={"w": "u * 2", "u": "min(X, 5) - exp(-volume)"},
    starts={"k4": "sqrt(1)", "Y": "B / 3"},
    conversion={"Y": "cf"},
)

def reference(text, selections, times):
    roadrunner = pytest.importorskip("roadrunner")
    runner = roadrunner.RoadRunner(text)
    runner.integrator.absolute_tolerance = 1e-13
    runner.integrator.relative_tolerance = 1e-12
    runner.integrator.maximum_num_steps = 10**6
    return runner.simulate(0.0, times[-1], len(times), selections=selections)


# (model, roadrunner's selection for each attribute, duration, RK4 step)
MODELS = {
    "repressilator": (REPRESSILATOR, ["[m1]", "[m2]", "[m3]", "[p1]", "[p2]", "[p3]"], 30.0, 2e-3),
    "mitotic": (MITOTIC, ["[C]", "M", "X"], 40.0, 1e-3),
    "brusselator": (BRUSSELATOR, ["[A]", "[B]", "[X]", "Y", "volume"], 10.0, 1e-3),
}


def mitotic_with(change):
    """MITOTIC after `change(model)`, as text."""
    document = libsbml.readSBMLFromString(MITOTIC)
    change(document.getModel())
    return libsbml.writeSBMLToString(document)


def add_event(model):
    event = model.createEvent()
    event.setUseValuesFromTriggerTime(True)
    trigger = event.createTrigger()
    trigger.setMath(libsbml.parseL3Formula("C > 0.5")), trigger.setInitialValue(False), trigger.setPersistent(True)
    assignment = event.createEventAssignment()
    assignment.setVariable("C"), assignment.setMath(libsbml.parseL3Formula("0"))


def set_law(formula):
    return lambda model: model.getReaction("synthesis").getKineticLaw().setMath(libsbml.parseL3Formula(formula))


def add_rule(kind, variable, formula):
    def change(model):
        model.getElementBySId(variable).setConstant(False)  # what the rule determines
        rule = model.createAlgebraicRule() if kind == "algebraic" else model.createRateRule()
        rule.setMath(libsbml.parseL3Formula(formula))
        if kind != "algebraic":
            rule.setVariable(variable)
    return change


def require_package(model):
    document = model.getSBMLDocument()
    document.enablePackage(libsbml.CompExtension.getXmlnsL3V1V1(), "comp", True)
    document.setPackageRequired("comp", True)


@pytest.mark.parametrize("change, message", [
    (add_event, "sbml: events are not supported (1 event in the model)"),
    (add_rule("algebraic", "vi", "vi - 2 * kd"), "sbml: algebraic rules are not supported (1 algebraic rule in the model)"),
    (add_rule("rate", "cell", "0.1"), "sbml: rules that change a compartment are not supported (rate rule for cell)"),
    (set_law("cell * delay(vi, 1)"), "sbml: delays are not supported (in the kinetic law of reaction synthesis)"),
    (set_law("cell * vi * time"), "sbml: the time symbol is not supported (in the kinetic law of reaction synthesis)"),
    (set_law("cell * sin(vi)"), "sbml: the function sin is not supported (in the kinetic law of reaction synthesis)"),
    (set_law("cell * floor(vi)"), "sbml: the function floor is not supported (in the kinetic law of reaction synthesis)"),
    (require_package, "sbml: the package 'comp' is not supported (the model requires it)"),
])
def test_unsupported_parts_are_named(change, message):
    with pytest.raises(ValueError) as caught:
        tessaly.sbml_equations(mitotic_with(change))
    assert str(caught.value) == message


def test_sources_and_bad_sources(tmp_path, monkeypatch):
    path = tmp_path / "mitotic.xml"
    path.write_text(MITOTIC)
    expected = tessaly.sbml_equations(MITOTIC)
    assert tessaly.sbml_equations(path) == tessaly.sbml_equations(str(path)) == expected
    with pytest.raises(FileNotFoundError, match="no such SBML file"):
        tessaly.sbml_equations(str(tmp_path / "missing.xml"))
    with pytest.raises(ValueError, match=r"^sbml: .* is not valid SBML: line \d+: "):
        tessaly.sbml_equations("<sbml><model>")
    with pytest.raises(TypeError, match=r"^source: expected a path or SBML text starting with '<', got bytes$"):
        tessaly.sbml_equations(MITOTIC.encode())
    monkeypatch.setitem(__import__("sys").modules, "libsbml", None)
    with pytest.raises(ModuleNotFoundError, match="pip install python-libsbml"):
        tessaly.sbml_equations(MITOTIC)


def test_import_leaves_libsbml_alone():
    import subprocess
    import sys
    code = "import sys, tessaly; assert 'libsbml' not in sys.modules; tessaly.sbml_equations; print('ok')"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout == "ok\n"


@pytest.mark.parametrize("name", MODELS)
def test_the_engine_integrates_a_frozen_cell_as_the_reference(name):
    text, selections, duration, h = MODELS[name]
    w = tessaly.World((6, 6, 1), "periodic", 1, 1.0)
    cell = w.add_cell(1, 9.0, 1.0, 0.0, 0.0)
    w.seed_block(cell, 1, 1, 0, 4, 4, 1)
    w.set_cell_frozen(cell, True)
    dt = duration / 200  # 20 Monte Carlo steps between samples
    assert w.add_cell_sbml(text, dt=dt, substeps=round(dt / h)) == 0
    w.finalize(1)
    names = list(tessaly.sbml_equations(text)["initial"])
    got = []
    for _ in range(11):
        got.append([w.cell_attribute(attribute)[cell] for attribute in names])
        w.step(20)
    expected = reference(text, selections, np.linspace(0.0, duration, 11))
    np.testing.assert_allclose(got, expected, rtol=1e-6, atol=1e-6)


def test_add_cell_sbml_adds_only_the_missing_attributes(tmp_path):
    w = tessaly.World((6, 6, 1), "periodic", 1, 1.0)
    cells = [w.add_cell(1, 9.0, 1.0, 0.0, 0.0) for _ in range(2)]
    w.add_cell_attribute("M", default=0.5)
    w.set_cell_attribute("M", [0.25], ids=[cells[1]])
    path = tmp_path / "mitotic.xml"
    path.write_text(MITOTIC)
    assert w.add_cell_sbml(path, cell_types=[1], dt=0.5) == 0
    assert list(w.cell_attribute("M")) == [0.5, 0.5, 0.25] and list(w.cell_attribute("C")) == [0.01] * 3
    assert w.add_cell_sbml(MITOTIC) == 1  # a second system over the same attributes


def species_named_like_a_column(model):
    species = model.getSpecies("X").clone()
    species.setId("secretion_scale_0")
    model.addSpecies(species)


@pytest.mark.parametrize("source, keywords, error, message", [
    (MITOTIC, {"dt": math.nan}, ValueError, "dt: expected a finite float, got nan"),
    (MITOTIC, {"substeps": 0}, ValueError, "substeps: expected at least 1, got 0"),
    (MITOTIC, {"cell_types": [1, 70000]}, ValueError, "cell_types: expected types from 0 to 65535, got 70000"),
    (mitotic_with(add_event), {}, ValueError, "sbml: events are not supported (1 event in the model)"),
    (mitotic_with(species_named_like_a_column), {}, ValueError,
     "source: the species attribute 'secretion_scale_0' is a column of cell_table() already"),
    ("missing.xml", {}, FileNotFoundError, "missing.xml"),
    (b"<sbml/>", {}, TypeError, "source: expected a path or SBML text starting with '<', got bytes"),
])
def test_a_refused_model_changes_nothing(source, keywords, error, message):
    w = tessaly.World((6, 6, 1), "periodic", 1, 1.0)
    cell = w.add_cell(1, 9.0, 1.0, 0.0, 0.0)
    w.seed_block(cell, 1, 1, 0, 4, 4, 1)
    w.add_field("signal", 0.1, 0.0)
    w.finalize(1)
    before = w.to_bytes()
    with pytest.raises(error) as caught:
        w.add_cell_sbml(source, **keywords)
    assert message in str(caught.value)
    assert w.to_bytes() == before
