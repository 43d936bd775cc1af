"""Type stubs of the native module, one section per class in registration order."""

from collections.abc import Sequence
from typing import ClassVar, Never, SupportsComplex, SupportsFloat, SupportsIndex, final, overload

import numpy as np
import numpy.typing as npt

__all__ = ["Argument", "Instruction", "Gate", "Instr", "StateVec", "ECC", "ECCs", "RawECCs", "Evaluator", "Circ", "IdentityCirc", "IdentityProver", "Proof"]

class _BindingType(type):
    """The metaclass of every class of the module (the binding library's own, a subclass of type);
    it adds nothing a caller uses."""

# --- Argument ---------------------------------------------------------------------------------

@final
class Argument(metaclass=_BindingType):
    """A named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions."""

    def __init__(self, regid: str, index: int) -> None: ...
    @property
    def regid(self) -> str: ...
    @regid.setter
    def regid(self, value: str) -> None: ...
    @property
    def index(self) -> int: ...
    @index.setter
    def index(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

# --- Instruction ------------------------------------------------------------------------------

@final
class Instruction(metaclass=_BindingType):
    """A high-level instruction with gate + explicit quantum/classical register arguments."""

    def __init__(
        self,
        gate: Gate,
        qargs: Sequence[Argument | tuple[str, int]],
        cargs: Sequence[Argument | tuple[str, int]] = ...,
    ) -> None: ...
    @property
    def gate(self) -> Gate: ...
    @gate.setter
    def gate(self, value: Gate) -> None: ...
    @property
    def qargs(self) -> list[Argument]: ...
    @qargs.setter
    def qargs(self, value: Sequence[Argument]) -> None: ...
    @property
    def cargs(self) -> list[Argument]: ...
    @cargs.setter
    def cargs(self, value: Sequence[Argument]) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

# --- Gate -------------------------------------------------------------------------------------

@final
class Gate(metaclass=_BindingType):
    """Parameterized quantum gate definition used by both search and Python APIs."""

    def __init__(self, name: str, params: Sequence[str], matrix: npt.ArrayLike) -> None: ...
    @overload
    def __call__(self, *args: int) -> Instr: ...
    @overload
    def __call__(self, *args: Argument) -> Instruction: ...
    @staticmethod
    def from_name(name: str) -> Gate | None:
        """Looks up a built-in gate by display name."""
    def adjoint(self) -> Gate:
        """Returns the adjoint (inverse) gate."""
    @property
    def name(self) -> str:
        """Gate name."""
    @property
    def params(self) -> list[str]:
        """Symbolic parameter list."""
    @property
    def params_f(self) -> list[float]:
        """Numeric parameters evaluated with support for `pi` expressions."""
    @property
    def matrix(self) -> npt.NDArray[np.complex128]:
        """Dense unitary matrix."""
    @property
    def nqargs(self) -> int:
        """Number of qubit arguments required by this gate."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

# --- Instr ------------------------------------------------------------------------------------

@final
class Instr(metaclass=_BindingType):
    """A compact, index-only quantum instruction used internally by the search/prover."""

    def __init__(self, gate: Gate, qargs: Sequence[int]) -> None: ...
    @property
    def gate(self) -> Gate:
        """Underlying gate."""
    @property
    def qargs(self) -> bytes:
        """Qubit arguments as dense integer indices."""
    def apply_permutation(self, perm: Sequence[int]) -> Instr:
        """Applies a qubit permutation."""
    def permut(self, perm: Sequence[int]) -> Instr:
        """Alias of `apply_permutation`."""
    def arg_mask(self) -> int:
        """Bitmask of qubits touched by this instruction."""
    def pass_mask(self, mask: int) -> int | None:
        """Updates a frontier mask for left-to-right scheduling checks."""
    def largest_qubit(self) -> int:
        """Largest qubit index touched by this instruction."""
    def disjoint(self, other: Instr) -> bool:
        """Returns `true` when this and `other` touch disjoint qubits."""
    def adjoint(self) -> Instr:
        """Returns the adjoint instruction."""
    def position_of_qubit(self, qubit: int) -> int | None:
        """Returns position of `qubit` in argument list, if present."""
    def __hash__(self) -> int: ...

# --- StateVec ---------------------------------------------------------------------------------

@final
class StateVec(metaclass=_BindingType):
    """Complex state vector used for randomized circuit evaluation."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, re: Sequence[float], im: Sequence[float]) -> None: ...
    @staticmethod
    def random(num_qubits: int) -> StateVec:
        """Creates a random normalized state."""
    @staticmethod
    def random_symmetric(num_qubits: int) -> StateVec:
        """Creates a random state tailored for symmetry-aware evaluator use."""
    def nqubits(self) -> int:
        """Returns qubit count."""
    def len(self) -> int:
        """Returns vector length (`2^nqubits`)."""
    def normalize(self) -> None:
        """Normalizes the state vector in place."""
    def normalize_arg(self) -> None:
        """Canonicalizes global phase for stable equality/hash comparison."""
    def clone(self) -> StateVec:
        """Returns a deep copy."""
    def check(self) -> bool:
        """Checks unit-norm invariant."""
    def hash_value(self) -> int:
        """Hashes the current normalized state."""
    def __getitem__(self, index: int) -> complex: ...
    def __setitem__(self, index: int, value: complex | SupportsComplex | SupportsFloat | SupportsIndex) -> None: ...
    def __delitem__(self, index: int) -> None: ...
    def __imul__(self, other: Instr) -> StateVec: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

# --- ECC --------------------------------------------------------------------------------------

@final
class ECC(metaclass=_BindingType):
    """One equivalence class of circuits."""

    # No constructor: classes come from ECCs.to_list, ECCs.check and RawECCs.find_equivalents.
    def __init__(self, *args: Never, **kwargs: Never) -> None: ...

    def circuits(self) -> list[list[Instr]]:
        """Returns all circuits in this class with swap instructions materialized."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

# --- ECCs -------------------------------------------------------------------------------------

@final
class ECCs(metaclass=_BindingType):
    """Collection of equivalence classes for a fixed number of qubits."""

    # No constructor: collections come from RawECCs.simplify, filter_single and from_postcard.
    def __init__(self, *args: Never, **kwargs: Never) -> None: ...

    @property
    def nqubits(self) -> int: ...
    def __len__(self) -> int: ...
    def check(self) -> list[ECC]:
        """Returns classes that fail randomized equivalence checks."""
    def to_list(self) -> list[ECC]:
        """Returns all classes as a Python list."""
    def filter_single(self) -> ECCs:
        """Removes classes with only one circuit."""
    def dump_postcard(self, filepath: str) -> None:
        """Saves ECCs as postcard."""
    @staticmethod
    def from_postcard(filepath: str) -> ECCs:
        """Loads ECCs from a postcard file."""
    def dump_quartz(self, filepath: str) -> None:
        """Exports ECCs to Quartz JSON format."""
    def to_identity_circuits(self) -> list[tuple[IdentityCirc, Circ, Circ]]:
        """Converts classes into canonical identities plus witness circuit pairs."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

# --- RawECCs ----------------------------------------------------------------------------------

@final
class RawECCs(metaclass=_BindingType):
    """Mutable ECC map keyed by evaluator hash.

    This is the direct output of the search algorithm before final simplification."""

    def __init__(self, evaluator: Evaluator) -> None: ...
    @staticmethod
    def search(evaluator: Evaluator, instrs: Sequence[Instr], max_size: int) -> tuple[RawECCs, list[int]]:
        """Optimized search using permutation-equivalent placements per circuit."""
    @staticmethod
    def search_naive(evaluator: Evaluator, instrs: Sequence[Instr], max_size: int) -> tuple[RawECCs, list[int]]:
        """Exhaustive baseline search without permutation-based multiplicity reduction."""
    @staticmethod
    def generate(evaluator: Evaluator, gates: Sequence[Gate], max_size: int) -> tuple[RawECCs, list[int]]:
        """Generates ECCs from a gate set using the optimized search.

        Adjoint gates are added automatically if missing."""
    @staticmethod
    def generate_naive(evaluator: Evaluator, gates: Sequence[Gate], max_size: int) -> tuple[RawECCs, list[int]]:
        """Generates ECCs from a gate set using the naive search."""
    def simplify(self) -> ECCs:
        """Converts raw buckets into sorted, normalized ECCs."""
    def find_equivalents(self, evaluator: Evaluator, instrs: Sequence[Instr]) -> ECC | None:
        """Python wrapper returning equivalent circuits for a candidate program."""
    def compute_next_key(self, evaluator: Evaluator, current_key: int, instr: Instr) -> int | None:
        """Computes the next reachable ECC hash after appending one instruction.

        Returns `None` when the resulting state was not discovered in this map."""
    def switch_evaluator(self, new_evaluator: Evaluator) -> RawECCs:
        """Re-evaluates all stored circuits under a new evaluator.

        Useful for cross-checking evaluator-independence of discovered classes."""
    def check_identity_subset(self, ecc1: RawECCs, evaluator: Evaluator) -> None:
        """Checks that every identity in `self` is representable in `ecc1`."""

# --- Evaluator --------------------------------------------------------------------------------

@final
class Evaluator(metaclass=_BindingType):
    """Randomized evaluator used to hash circuits and recover permutation metadata."""

    def __init__(self, nqubits: int) -> None: ...
    def nqubits(self) -> int:
        """Returns evaluator qubit count."""
    def evaluate(self, instrs: Sequence[Instr]) -> tuple[StateVec, tuple[int, ...], tuple[int, ...], StateVec]:
        """Python wrapper for circuit evaluation."""
    def initial_key(self) -> int:
        """Hash key for the empty circuit under this evaluator."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

# --- Circ -------------------------------------------------------------------------------------

@final
class Circ(metaclass=_BindingType):
    """Circuit with an explicit trailing qubit permutation."""

    def __init__(self, instrs: Sequence[Instr], perm: Sequence[int] | None = None) -> None: ...
    def len(self) -> int:
        """Number of instructions."""
    def is_empty(self) -> bool:
        """Returns whether the circuit is empty."""
    def nqubits(self) -> int:
        """Number of qubits tracked by the permutation."""
    def permut(self, perm: Sequence[int]) -> Circ:
        """Applies a qubit permutation to this circuit."""
    def rotate(self, n: int) -> Circ:
        """Circularly rotates instruction order by `n`."""
    def inverse(self) -> Circ:
        """Returns inverse circuit."""
    def remove_swaps(self) -> Circ:
        """Removes explicit swap gates into the stored trailing permutation."""
    def instrs_with_swaps(self) -> list[Instr]:
        """Returns instructions plus swaps needed for stored permutation."""
    def representative(self) -> Circ:
        """Returns canonical circuit representative."""
    def rotate_representative(self) -> IdentityCirc:
        """Returns canonical identity representative across rotations/permutations."""
    def representative_with_perm(self) -> tuple[Circ, tuple[int, ...]]:
        """Returns `(representative, applied_perm)` used in canonicalization."""
    @property
    def instrs(self) -> list[Instr]: ...
    @property
    def perm(self) -> tuple[int, ...]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, idx: int) -> Instr: ...
    def __hash__(self) -> int: ...
    def __add__(self, other: Circ) -> Circ: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __lt__(self, other: Circ) -> bool: ...
    def __le__(self, other: Circ) -> bool: ...
    def __gt__(self, other: Circ) -> bool: ...
    def __ge__(self, other: Circ) -> bool: ...

# --- IdentityCirc -----------------------------------------------------------------------------

@final
class IdentityCirc(metaclass=_BindingType):
    """Canonical identity circuit (a circuit proven equivalent to identity)."""

    def __init__(self, circuit: Circ) -> None: ...
    def check(self) -> bool:
        """Randomized semantic check that this circuit is identity."""
    def hash_value(self) -> int:
        """Stable hash of the canonical identity representation."""
    def nqubits(self) -> int:
        """Returns number of qubits."""
    def qargs_forward(self, gate_id: int) -> list[int]:
        """For each argument of gate `gate_id`, returns next gate index using that qubit."""
    def qargs_backward(self, gate_id: int) -> list[int]:
        """For each argument of gate `gate_id`, returns previous gate index using that qubit."""
    @property
    def inner(self) -> Circ:
        """Underlying circuit representation."""
    def pythonize(self) -> dict[str, object]:
        """Converts this identity to a Python-serializable form."""
    @staticmethod
    def from_python(obj: object) -> IdentityCirc:
        """Parses a Python-serialized identity object."""
    def __hash__(self) -> int: ...
    def __len__(self) -> int: ...
    def __getitem__(self, idx: int) -> Instr: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __lt__(self, other: IdentityCirc) -> bool: ...
    def __le__(self, other: IdentityCirc) -> bool: ...
    def __gt__(self, other: IdentityCirc) -> bool: ...
    def __ge__(self, other: IdentityCirc) -> bool: ...

# --- IdentityProver ---------------------------------------------------------------------------

@final
class IdentityProver(metaclass=_BindingType):
    """Rule-based prover for circuit identities.

    The prover is built from ECCs, extracts assumed rules, and can then:
    - check whether a target identity is derivable,
    - produce visited states for diagnostics,
    - export explicit proof traces."""

    # No constructor: calling the class raises TypeError.
    def __init__(self, /, *args: object, **kwargs: object) -> None: ...
    @staticmethod
    def build_from_eccs(eccs: ECCs) -> IdentityProver:
        """Python entrypoint: builds a prover from generated ECCs."""
    def par_apply_rules(self, identity: IdentityCirc, additional_size: int) -> list[IdentityCirc]:
        """Applies one round of parallel rule rewriting bounded by `additional_size`."""
    def add_identity(self, identity: IdentityCirc, additional_size: int, count_limit: int) -> bool:
        """Inserts one identity into the prover, deriving it when possible.

        Returns `true` when this identity must be kept as an assumption."""
    def add_identity_search(
        self, identity: IdentityCirc, additional_size: int, count_limit: int
    ) -> tuple[set[IdentityCirc], bool]:
        """Internal bounded search used by [`Self::add_identity`].

        Returns `(visited, assumed)` where `assumed=true` means the identity
        could not be derived within `count_limit`."""
    def prove_identity(self, identity: IdentityCirc, additional_size: int, count_limit: int) -> IdentityCirc | None:
        """Attempts to prove one identity.

        Returns `None` if proved, or `Some(identity)` if the search exceeded limits."""
    def prove_identity_with_visited(
        self, identity: IdentityCirc, additional_size: int, count_limit: int
    ) -> tuple[IdentityCirc | None, set[IdentityCirc]]:
        """Same as [`Self::prove_identity`] but also returns visited identities."""
    def export_proof(self, identity: IdentityCirc, additional_size: int, count_limit: int) -> Proof | None:
        """Exports a proof DAG when `identity` is derivable under the given limits."""
    def get_assumed(self) -> list[IdentityCirc]:
        """Returns current assumptions as a cloned list (Python helper)."""
    @staticmethod
    def from_postcard(filepath: str) -> IdentityProver:
        """Loads a prover from postcard serialization."""
    def dump_postcard(self, filepath: str) -> None:
        """Stores a prover as postcard serialization."""

# --- Proof ------------------------------------------------------------------------------------

@final
class Proof(metaclass=_BindingType):
    """Exported proof DAG.

    Each entry stores:
    - an identity circuit,
    - either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived."""

    def __init__(self, data: Sequence[tuple[IdentityCirc, tuple[int, int] | None]]) -> None: ...
    @property
    def raw(self) -> list[tuple[IdentityCirc, tuple[int, int] | None]]:
        """Returns raw proof entries."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __lt__(self, other: Proof) -> bool: ...
    def __le__(self, other: Proof) -> bool: ...
    def __gt__(self, other: Proof) -> bool: ...
    def __ge__(self, other: Proof) -> bool: ...
