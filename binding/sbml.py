"""An SBML model as the text, parameters and initial values of add_cell_ode.

The build embeds this file in the module (binding/sbml.cpp runs it once, on
the first call of tessaly.sbml_equations); libsbml is imported only then.

What a model becomes:
- Every species that no assignment rule defines is an attribute. Its value
  is what the species' symbol means in the model's mathematics: its
  concentration (amount / compartment size), or its amount when the species
  has only substance units. Reactions change amounts, so a concentration's
  equation is the sum of the reactions' rates times their stoichiometries
  divided by the compartment's size (and times the species' conversion
  factor, if the model has one). Boundary and constant species are
  attributes without an equation. A parameter with a rate rule is an
  attribute too.
- Compartment sizes, the other parameters, and every reaction's local
  parameters (as REACTION_PARAMETER) become parameters.
- Assignment rules, references to a reaction's rate and to a species
  reference's stoichiometry are substituted into the expressions that use
  them, in dependency order; function definitions are inlined.
- Initial values come from the model, after its initial assignments.
- An id that is a Python keyword or a name of the expression language or of
  cell_table (volume, exp, type, ...) gets trailing underscores until it is
  free: a species `volume` is the attribute `volume_`.
What the engine cannot run is refused with a ValueError that names it:
events, algebraic rules, delays, the time symbol, fast reactions, rules that
change a compartment or a stoichiometry, packages a model requires, and
functions outside the expression language (sin, floor, ...).
"""

import errno
import keyword
import math
import os

# what the translation never gives an attribute or a parameter: the names and
# functions of the expression language and the columns of cell_table
_RESERVED = frozenset(
    """volume surface target_volume lambda_volume target_surface lambda_surface cell_type mcs
    exp log sqrt abs min max pow hill if nbr_mean nbr_sum field
    id type com_x com_y com_z dir_x dir_y dir_z""".split()
)

# errors of libsbml's checks that change nothing in the equations: a species
# read by a kinetic law but not listed as the reaction's modifier (many
# published models omit them)
_HARMLESS = frozenset({21121})

# precedence in the text: comparisons, sums, products, unary minus, powers, atoms
_COMPARE, _SUM, _PRODUCT, _NEGATE, _POWER, _ATOM = range(6)
_LEVEL = {"<": _COMPARE, "<=": _COMPARE, ">": _COMPARE, ">=": _COMPARE, "==": _COMPARE, "!=": _COMPARE,
          "+": _SUM, "-": _SUM, "*": _PRODUCT, "/": _PRODUCT, "^": _POWER}


def _libsbml():
    try:
        import libsbml
    except ImportError as error:
        raise ModuleNotFoundError(
            "sbml_equations needs python-libsbml: pip install python-libsbml (or tessaly[sbml])", name="libsbml"
        ) from error
    return libsbml


def _plural(count, noun):
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _read(libsbml, source):
    """The model of an SBML file or text, or ValueError naming the first error."""
    if isinstance(source, str) and source.lstrip().startswith("<"):
        document = libsbml.readSBMLFromString(source)
        origin = "the SBML text"
    elif isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        path = os.fsdecode(path) if isinstance(path, bytes) else path
        if not os.path.isfile(path):
            raise FileNotFoundError(errno.ENOENT, "sbml_equations: no such SBML file", path)
        document = libsbml.readSBMLFromFile(path)
        origin = path
    else:
        raise TypeError(f"source: expected a path or SBML text starting with '<', got {type(source).__name__}")
    if document.getNumErrors(libsbml.LIBSBML_SEV_ERROR) + document.getNumErrors(libsbml.LIBSBML_SEV_FATAL) == 0:
        document.setConsistencyChecks(libsbml.LIBSBML_CAT_UNITS_CONSISTENCY, False)
        document.setConsistencyChecks(libsbml.LIBSBML_CAT_MODELING_PRACTICE, False)
        document.checkConsistency()
    for i in range(document.getNumErrors()):
        error = document.getError(i)
        if error.getSeverity() >= libsbml.LIBSBML_SEV_ERROR and error.getErrorId() not in _HARMLESS:
            message = " ".join(error.getMessage().split())
            raise ValueError(f"sbml: {origin} is not valid SBML: line {error.getLine()}: {message}")
    namespaces = document.getNamespaces()
    for i in range(namespaces.getLength() if document.getLevel() >= 3 else 0):
        name = namespaces.getPrefix(i)
        if name and document.isSetPackageRequired(name) and document.getPackageRequired(name):
            raise ValueError(f"sbml: the package '{name}' is not supported (the model requires it)")
    model = document.getModel()
    if model is None:
        raise ValueError(f"sbml: {origin} holds no model")
    # the document owns the model: keep it alive beside it
    return document, model


class _Translation:
    """The tables of one model, filled in the order of the steps of translate()."""

    def __init__(self, libsbml, model):
        self.sbml = libsbml
        self.model = model
        self.final = {}          # SBML id -> name in the text
        self.attributes = []     # SBML ids, in model order
        self.parameters = []     # final names, in model order
        self.raw = {}            # SBML id or final name of a local parameter -> value as given (None if unset)
        self.definitions = {}    # SBML id -> (our tree or libsbml's node, where): substituted wherever used
        self.rates = {}          # SBML id -> (libsbml's node, where) of a rate rule
        self.functions = {}      # function id -> (argument names, body node)
        self.initial = {}        # SBML id -> tree of an initial assignment
        self.resolved = {}       # SBML id -> its definition with every definition substituted
        self.values = {}         # SBML id -> value at the start

    # ---- refusals ----

    def refuse_unsupported(self):
        m, sbml = self.model, self.sbml
        problems = []
        if m.getNumEvents():
            problems.append(f"events are not supported ({_plural(m.getNumEvents(), 'event')} in the model)")
        algebraic = sum(1 for rule in m.getListOfRules() if rule.isAlgebraic())
        if algebraic:
            problems.append(f"algebraic rules are not supported ({_plural(algebraic, 'algebraic rule')} in the model)")
        compartments = {c.getId() for c in m.getListOfCompartments()}
        references = {}
        for reaction in m.getListOfReactions():
            if reaction.isSetFast() and reaction.getFast():
                problems.append(f"fast reactions are not supported (reaction {reaction.getId()})")
            for reference in list(reaction.getListOfReactants()) + list(reaction.getListOfProducts()):
                where = f"species {reference.getSpecies()} in reaction {reaction.getId()}"
                if reference.isSetStoichiometryMath():
                    problems.append(f"variable stoichiometry is not supported ({where})")
                elif math.isnan(reference.getStoichiometry()):
                    problems.append(f"a reactant or product needs a stoichiometry ({where})")
                if reference.isSetId():
                    references[reference.getId()] = where
        for rule in m.getListOfRules():
            variable = rule.getVariable() if not rule.isAlgebraic() else ""
            kind = "rate rule" if rule.isRate() else "assignment rule"
            if variable in compartments:
                problems.append(f"rules that change a compartment are not supported ({kind} for {variable})")
            if variable in references:
                problems.append(f"variable stoichiometry is not supported ({kind} for {references[variable]})")
        if problems:
            raise ValueError("sbml: " + "; ".join(problems))

    # ---- names ----

    def name_everything(self):
        m = self.model
        ids = [c.getId() for c in m.getListOfCompartments()] + [s.getId() for s in m.getListOfSpecies()]
        ids += [p.getId() for p in m.getListOfParameters()] + [r.getId() for r in m.getListOfReactions()]
        self.taken = set(ids)
        for sbml_id in ids:
            self.final[sbml_id] = self.free_name(sbml_id, own=True)

    def free_name(self, wanted, own=False):
        """`wanted` (an id of its own if `own`), or with trailing underscores until no keyword,
        reserved word or other id has it."""
        name = wanted
        while (name in self.taken and not (own and name == wanted)) or name in _RESERVED or keyword.iskeyword(name):
            name += "_"
        self.taken.add(name)
        return name

    # ---- what each symbol is ----

    def classify(self):
        m = self.model
        for rule in m.getListOfRules():
            if rule.isRate():
                self.rates[rule.getVariable()] = (rule.getMath(), f"the rate rule for {rule.getVariable()}")
            elif rule.isAssignment():
                self.definitions[rule.getVariable()] = (rule.getMath(), f"the assignment rule for {rule.getVariable()}")
        for f in m.getListOfFunctionDefinitions():
            body = f.getMath()
            if body is None or not body.isLambda():
                raise ValueError(f"sbml: function definition {f.getId()} has no body")
            arguments = [body.getChild(i).getName() for i in range(body.getNumChildren() - 1)]
            self.functions[f.getId()] = (arguments, body.getChild(body.getNumChildren() - 1))
        for c in m.getListOfCompartments():
            self.parameters.append(self.final[c.getId()])
            self.raw[c.getId()] = c.getSize() if c.isSetSize() else None
        for s in m.getListOfSpecies():
            if s.getId() not in self.definitions:
                self.attributes.append(s.getId())
        for p in m.getListOfParameters():
            self.raw[p.getId()] = p.getValue() if p.isSetValue() else None
            if p.getId() in self.rates:
                self.attributes.append(p.getId())
            elif p.getId() not in self.definitions:
                self.parameters.append(self.final[p.getId()])
        for reaction in m.getListOfReactions():
            self.classify_reaction(reaction)
        for assignment in m.getListOfInitialAssignments():
            self.initial[assignment.getSymbol()] = self.tree(
                assignment.getMath(), f"the initial assignment to {assignment.getSymbol()}")

    def classify_reaction(self, reaction):
        rid = reaction.getId()
        law = reaction.getKineticLaw()
        if law is None or law.getMath() is None:
            raise ValueError(f"sbml: reaction {rid} has no kinetic law")
        local = {}
        for p in law.getListOfParameters():
            name = self.free_name(f"{rid}_{p.getId()}")
            self.parameters.append(name)
            self.raw[name] = p.getValue() if p.isSetValue() else None
            local[p.getId()] = ("name", name)
        for p in getattr(law, "getListOfLocalParameters", lambda: [])():
            if p.getId() not in local:
                name = self.free_name(f"{rid}_{p.getId()}")
                self.parameters.append(name)
                self.raw[name] = p.getValue() if p.isSetValue() else None
                local[p.getId()] = ("name", name)
        self.definitions[rid] = (self.tree(law.getMath(), f"the kinetic law of reaction {rid}", local),
                                 f"the kinetic law of reaction {rid}")
        for reference in list(reaction.getListOfReactants()) + list(reaction.getListOfProducts()):
            if reference.isSetId():
                self.definitions[reference.getId()] = (("num", reference.getStoichiometry()), "a stoichiometry")

    # ---- mathematics: libsbml's trees to ours ----
    # ("num", v), ("sym", SBML id), ("name", final name), ("neg", a), (op, a, b)
    # for the operators of _LEVEL, ("if", c, a, b), ("call", function, [args])

    def tree(self, node, where, scope=None, inlining=()):
        """Our tree of a libsbml node; scope maps argument and local names to trees. Inside a
        function definition (inlining names it last) no other name may appear."""
        sbml, scope = self.sbml, scope or {}
        kind = node.getType()
        children = [node.getChild(i) for i in range(node.getNumChildren())]

        def sub(child):
            return self.tree(child, where, scope, inlining)

        def refuse(what):
            raise ValueError(f"sbml: {what} not supported (in {where})")

        if node.isNumber():
            return ("num", float(node.getValue()))
        if kind == sbml.AST_NAME:
            name = node.getName()
            if name in scope:
                return scope[name]
            if inlining:
                raise ValueError(f"sbml: function definition {inlining[-1]} uses {name}, which is not one of its arguments")
            return ("sym", name)
        if kind == sbml.AST_NAME_TIME:
            refuse("the time symbol is")
        if kind == sbml.AST_NAME_AVOGADRO:
            return ("num", 6.02214179e23)
        constants = {sbml.AST_CONSTANT_E: math.e, sbml.AST_CONSTANT_PI: math.pi,
                     sbml.AST_CONSTANT_TRUE: 1.0, sbml.AST_CONSTANT_FALSE: 0.0}
        if kind in constants:
            return ("num", constants[kind])
        if kind == sbml.AST_FUNCTION_DELAY:
            refuse("delays are")
        if kind == sbml.AST_PLUS:
            return _fold("+", [sub(c) for c in children], ("num", 0.0))
        if kind == sbml.AST_TIMES:
            return _fold("*", [sub(c) for c in children], ("num", 1.0))
        if kind == sbml.AST_MINUS:
            if len(children) == 1:
                return ("neg", sub(children[0]))
            return ("-", sub(children[0]), sub(children[1]))
        if kind == sbml.AST_DIVIDE:
            return ("/", sub(children[0]), sub(children[1]))
        if kind in (sbml.AST_POWER, sbml.AST_FUNCTION_POWER):
            return ("^", sub(children[0]), sub(children[1]))
        simple = {sbml.AST_FUNCTION_EXP: "exp", sbml.AST_FUNCTION_LN: "log", sbml.AST_FUNCTION_ABS: "abs"}
        if kind in simple:
            return ("call", simple[kind], [sub(children[0])])
        if kind == sbml.AST_FUNCTION_LOG:  # libsbml puts the base first, 10 if the model gave none
            return ("/", ("call", "log", [sub(children[1])]), ("call", "log", [sub(children[0])]))
        if kind == sbml.AST_FUNCTION_ROOT:  # the degree first, 2 if the model gave none
            degree, argument = sub(children[0]), sub(children[1])
            if degree == ("num", 2.0):
                return ("call", "sqrt", [argument])
            return ("^", argument, ("/", ("num", 1.0), degree))
        if kind in (sbml.AST_FUNCTION_MIN, sbml.AST_FUNCTION_MAX):
            name = "min" if kind == sbml.AST_FUNCTION_MIN else "max"
            if not children:
                refuse(f"{name} without arguments is")
            result = sub(children[0])
            for child in children[1:]:
                result = ("call", name, [result, sub(child)])
            return result
        if kind == sbml.AST_FUNCTION_PIECEWISE:
            # value, condition, value, condition, ..., otherwise; no otherwise gives 0
            parts = [sub(c) for c in children]
            result = parts[-1] if len(parts) % 2 else ("num", 0.0)
            for i in range(len(parts) - 1 - len(parts) % 2, 0, -2):
                result = ("if", parts[i], parts[i - 1], result)
            return result
        relations = {sbml.AST_RELATIONAL_EQ: "==", sbml.AST_RELATIONAL_NEQ: "!=", sbml.AST_RELATIONAL_LT: "<",
                     sbml.AST_RELATIONAL_LEQ: "<=", sbml.AST_RELATIONAL_GT: ">", sbml.AST_RELATIONAL_GEQ: ">="}
        if kind in relations:
            parts = [sub(c) for c in children]
            if len(parts) < 2:
                refuse(f"a comparison of {len(parts)} operand is")
            return _all([(relations[kind], a, b) for a, b in zip(parts, parts[1:])])
        if kind == sbml.AST_LOGICAL_AND:
            return _all([sub(c) for c in children])
        if kind == sbml.AST_LOGICAL_OR:
            parts = [_truth(sub(c)) for c in children]
            return ("!=", _fold("+", parts, ("num", 0.0)), ("num", 0.0))
        if kind == sbml.AST_LOGICAL_NOT:
            return ("==", _truth(sub(children[0])), ("num", 0.0))
        if kind == sbml.AST_LOGICAL_XOR:
            parts = [_truth(sub(c)) for c in children]
            odd = ("num", 0.0)
            for part in parts:
                odd = ("!=", odd, part)
            return odd
        if kind == sbml.AST_FUNCTION:
            return self.inline(node.getName(), [sub(c) for c in children], where, inlining)
        name = node.getName() or sbml.formulaToL3String(node)
        refuse(f"the function {name} is")

    def inline(self, fid, arguments, where, inlining):
        if fid not in self.functions:
            raise ValueError(f"sbml: the function {fid} is not defined (in {where})")
        if fid in inlining:
            raise ValueError(f"sbml: function definition {fid} calls itself (in {where})")
        names, body = self.functions[fid]
        if len(names) != len(arguments):
            raise ValueError(f"sbml: {fid} takes {len(names)} arguments, got {len(arguments)} (in {where})")
        return self.tree(body, f"function definition {fid}", dict(zip(names, arguments)), inlining + (fid,))

    # ---- substitution ----

    def resolve(self, tree, where, chain=()):
        """`tree` with every definition substituted and every symbol given its final name."""
        kind = tree[0]
        if kind == "sym":
            symbol = tree[1]
            if symbol in self.definitions:
                if symbol in chain:
                    loop = " -> ".join(chain[chain.index(symbol):] + (symbol,))
                    raise ValueError(f"sbml: assignment rules depend on each other in a cycle ({loop})")
                if symbol not in self.resolved:
                    definition, origin = self.definitions[symbol]
                    if not isinstance(definition, tuple):
                        definition = self.tree(definition, origin)
                    self.resolved[symbol] = self.resolve(definition, origin, chain + (symbol,))
                return self.resolved[symbol]
            if symbol in self.final:
                return ("name", self.final[symbol])
            raise ValueError(f"sbml: {symbol} is not a species, compartment or parameter (in {where})")
        if kind in ("num", "name"):
            return tree
        if kind == "call":
            return ("call", tree[1], [self.resolve(a, where, chain) for a in tree[2]])
        return (kind,) + tuple(self.resolve(t, where, chain) for t in tree[1:])

    # ---- equations ----

    def equations(self):
        m = self.model
        changes = {sid: [] for sid in self.attributes}  # species -> [(stoichiometry, reaction id)]
        for reaction in m.getListOfReactions():
            net = {}
            for reference in reaction.getListOfReactants():
                net[reference.getSpecies()] = net.get(reference.getSpecies(), 0.0) - reference.getStoichiometry()
            for reference in reaction.getListOfProducts():
                net[reference.getSpecies()] = net.get(reference.getSpecies(), 0.0) + reference.getStoichiometry()
            for species, amount in net.items():
                if amount != 0 and species in changes:
                    changes[species].append((amount, reaction.getId()))
        lines = []
        for sid in self.attributes:
            if sid in self.rates:
                node, where = self.rates[sid]
                rate = self.resolve(self.tree(node, where), where)
            else:
                species = m.getSpecies(sid)
                if species.getBoundaryCondition() or species.getConstant() or not changes[sid]:
                    continue
                rate = self.species_rate(species, changes[sid])
            lines.append(f"{self.final[sid]}' = {_text(rate)}")
        return "".join(line + "\n" for line in lines)

    def species_rate(self, species, changes):
        """Σ stoichiometry·rate, times the conversion factor; for a concentration each rate over the
        compartment's size, which cancels where the law begins with it (as laws written in amounts do)."""
        size = ("name", self.final[species.getCompartment()])
        total = None
        for amount, rid in changes:
            rate = self.resolve(("sym", rid), f"the kinetic law of reaction {rid}")
            if not species.getHasOnlySubstanceUnits():
                rate = _without_factor(rate, size) or ("/", rate, size)
            term = rate if abs(amount) == 1 else ("*", ("num", abs(amount)), rate)
            if total is None:
                total = term if amount > 0 else ("neg", term)
            else:
                total = ("+" if amount > 0 else "-", total, term)
        factor = species.getConversionFactor() or self.model.getConversionFactor()
        if factor:
            total = ("*", total, self.resolve(("sym", factor), f"the conversion factor of {species.getId()}"))
        return total

    # ---- values at the start ----

    def value(self, symbol, chain=()):
        """The value of an SBML id (or a local parameter's final name) at the start."""
        if symbol in self.values:
            return self.values[symbol]
        if symbol in chain:
            raise ValueError(f"sbml: initial values depend on each other in a cycle ({' -> '.join(chain + (symbol,))})")
        chain = chain + (symbol,)
        if symbol in self.initial:
            result = self.evaluate(self.initial[symbol], chain, f"the initial assignment to {symbol}")
        elif symbol in self.definitions:
            definition, where = self.definitions[symbol]
            tree = definition if isinstance(definition, tuple) else self.tree(definition, where)
            result = self.evaluate(tree, chain, where)
        elif self.model.getSpecies(symbol) is not None:
            result = self.species_value(self.model.getSpecies(symbol), chain)
        else:
            result = self.raw.get(symbol)
        if result is None or math.isnan(result):
            raise ValueError(f"sbml: {symbol} has no initial value")
        self.values[symbol] = result
        return result

    def species_value(self, species, chain):
        size = self.value(species.getCompartment(), chain)
        if species.getHasOnlySubstanceUnits():
            if species.isSetInitialAmount():
                return species.getInitialAmount()
            return species.getInitialConcentration() * size if species.isSetInitialConcentration() else None
        if species.isSetInitialConcentration():
            return species.getInitialConcentration()
        return species.getInitialAmount() / size if species.isSetInitialAmount() else None

    def evaluate(self, tree, chain, where):
        kind = tree[0]
        if kind == "num":
            return tree[1]
        if kind == "sym":
            return self.value(tree[1], chain)
        if kind == "name":
            return self.value(tree[1], chain)
        arguments = [self.evaluate(t, chain, where) for t in (tree[2] if kind == "call" else tree[1:])]
        try:
            return _evaluate(tree[1] if kind == "call" else kind, arguments)
        except (ArithmeticError, ValueError) as error:
            raise ValueError(f"sbml: {where} cannot be evaluated at the start: {error}") from None

    # ---- the whole ----

    def translate(self):
        self.refuse_unsupported()
        self.name_everything()
        self.classify()
        equations = self.equations()
        values = {}
        for sbml_id in self.attributes:
            values[self.final[sbml_id]] = self.value(sbml_id)
        back = {name: sbml_id for sbml_id, name in self.final.items()}
        params = {name: float(self.value(back.get(name, name))) for name in self.parameters}
        return {"equations": equations, "params": params, "initial": {k: float(v) for k, v in values.items()}}


def _fold(op, parts, empty):
    if not parts:
        return empty
    result = parts[0]
    for part in parts[1:]:
        result = (op, result, part)
    return result


def _without_factor(tree, factor):
    """`tree` without `factor` where it is the leftmost factor of a product (so that
    (factor·a·b)/c is a·b/c), else None."""
    if tree[0] in ("*", "/"):
        if tree[0] == "*" and tree[1] == factor:
            return tree[2]
        left = _without_factor(tree[1], factor)
        return None if left is None else (tree[0], left, tree[2])
    return None


def _truth(tree):
    """1 or 0: a comparison as it is, anything else compared with 0."""
    return tree if _LEVEL.get(tree[0]) == _COMPARE else ("!=", tree, ("num", 0.0))


def _all(parts):
    if not parts:
        return ("num", 1.0)
    if len(parts) == 1:
        return _truth(parts[0])
    return ("!=", _fold("*", [_truth(p) for p in parts], None), ("num", 0.0))


def _evaluate(op, a):
    if op in _LEVEL:
        x, y = a
        return {"+": lambda: x + y, "-": lambda: x - y, "*": lambda: x * y, "/": lambda: x / y,
                "^": lambda: math.pow(x, y), "<": lambda: float(x < y), "<=": lambda: float(x <= y),
                ">": lambda: float(x > y), ">=": lambda: float(x >= y), "==": lambda: float(x == y),
                "!=": lambda: float(x != y)}[op]()
    if op == "neg":
        return -a[0]
    if op == "if":
        return a[1] if a[0] != 0 else a[2]
    return {"exp": math.exp, "log": math.log, "sqrt": math.sqrt, "abs": abs, "min": min, "max": max}[op](*a)


def _number(value):
    if not math.isfinite(value):
        raise ValueError(f"sbml: the number {value} has no place in the equations")
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def _level(tree):
    kind = tree[0]
    if kind == "num":
        return _NEGATE if tree[1] < 0 or math.copysign(1.0, tree[1]) < 0 else _ATOM
    if kind == "neg":
        return _NEGATE
    return _LEVEL.get(kind, _ATOM)


def _text(tree):
    """The expression language's text of a tree, in as few parentheses as keep its shape."""
    kind = tree[0]
    if kind == "num":
        return _number(tree[1])
    if kind == "name":
        return tree[1]
    if kind == "call":
        return f"{tree[1]}({', '.join(_text(a) for a in tree[2])})"
    if kind == "if":
        return f"if({_text(tree[1])}, {_text(tree[2])}, {_text(tree[3])})"
    if kind == "neg":
        return "-" + _wrap(tree[1], _POWER)
    level = _LEVEL[kind]
    if level == _POWER:  # right-associative; a negative base or exponent in parentheses
        return f"{_wrap(tree[1], _ATOM)}^{_wrap(tree[2], _POWER)}"
    # left-associative; the right operand of the same level keeps its parentheses
    return f"{_wrap(tree[1], level if level != _COMPARE else _SUM)} {kind} {_wrap(tree[2], level + 1)}"


def _wrap(tree, least):
    text = _text(tree)
    return text if _level(tree) >= least else f"({text})"


def sbml_equations(source):
    libsbml = _libsbml()
    document, model = _read(libsbml, source)
    return _Translation(libsbml, model).translate()
