from collections.abc import Callable, Sequence
from types import CodeType
from typing import Any, ClassVar, Generic, Literal, TypeVar, final, overload

from typing_extensions import Concatenate, Never, ParamSpec, Self, TypeAlias

__all__ = ["QuarrineBase", "quarrined", "automagically_quarrined"]
__version__: str

# How the reports name a cached call: the method name alone for a call
# without arguments, else the call key (method name, sorted argument items).
_ReportKey: TypeAlias = str | tuple[str, tuple[tuple[str, Any], ...]]
_ValidationText: TypeAlias = Literal["valid", "invalid", "permanently invalid"]
# What the factories accept as `dependencies`: a list of method names and
# (method name, keyword arguments) pairs. One list type: mypy infers a list
# display that mixes both against it, not against a union of list types.
_Dependencies: TypeAlias = list[str | tuple[str, dict[str, Any]]]

# No layout and no constructor of its own: a base beside any other, made and
# initialised as a plain class is.
class QuarrineBase:
    # Tells pydantic, which merges the configs of a model's bases, that
    # cached methods are no fields.
    model_config: ClassVar[dict[str, Any]]
    # Where an instance keeps its store when its deallocation does not run
    # QuarrineBase's (None on the class).
    __quarrine_store__: ClassVar[None]
    def get_cached_value(self, /, method_name: str, **kwargs: Any) -> Any | None: ...
    def update_cached_value(self, /, method_name: str, value: Any, **kwargs: Any) -> None: ...
    def clear_cache(self, /) -> None: ...
    def get_cached_values(self, /) -> dict[_ReportKey, Any]: ...
    def get_dependency_graph(self, /) -> dict[_ReportKey, set[_ReportKey]]: ...
    def get_validation_state(self, /) -> dict[_ReportKey, _ValidationText]: ...
    def dump_cache(self, /, order: Sequence[str] | None = None) -> dict[str, Any]: ...
    def load_cache(self, /, data: dict[str, Any], order: Sequence[str] | None = None) -> None: ...

# The decorated method's instance type (only QuarrineBase subclasses can run
# the cached call protocol), its parameters after self, and its result.
_S = TypeVar("_S", bound=QuarrineBase)
_P = ParamSpec("_P")
_R = TypeVar("_R")
# The decorator's own parameters. The instance type is covariant, as the self
# of an ordinary method is, so that a subclass may override a cached method
# with one of the same parameters (and a narrower result); the checkers'
# rule against a covariant parameter type is silenced where it is used.
_S_co = TypeVar("_S_co", bound=QuarrineBase, covariant=True)
_R_co = TypeVar("_R_co", covariant=True)

@final
class quarrined:
    def __new__(
        cls,
        /,
        use_cache: bool = True,
        dependencies: _Dependencies | None = None,
        track_runtime_dependencies: bool = False,
        serialisable: bool = False,
    ) -> quarrined: ...
    def __call__(self, /, func: Callable[Concatenate[_S, _P], _R]) -> QuarrineDecorator[_S, _P, _R]: ...

@final
class automagically_quarrined:
    def __new__(
        cls,
        /,
        use_cache: bool = True,
        dependencies: _Dependencies | None = None,
        track_runtime_dependencies: bool = True,
        serialisable: bool = False,
    ) -> automagically_quarrined: ...
    def __call__(self, /, func: Callable[Concatenate[_S, _P], _R]) -> QuarrineDecorator[_S, _P, _R]: ...

@final
class QuarrineDecorator(Generic[_S_co, _P, _R_co]):
    # Read through the class: the decorator itself, called with the instance
    # first. Read through an instance: a bound method.
    @overload
    def __get__(self, obj: None, _objtype: Any = None, /) -> Self: ...
    @overload
    def __get__(self, obj: _S_co, _objtype: Any = None, /) -> _BoundQuarrineMethod[_P, _R_co]: ...  # type: ignore[misc]  # pyright: ignore[reportGeneralTypeIssues]
    # Assigning to a cached method through an instance fails at run time.
    def __set__(self, _obj: Any, _value: Never, /) -> None: ...
    # Called by type.__new__ with each name the class body gives it.
    def __set_name__(self, owner: type, name: str, /) -> None: ...
    # The function's metadata, read-only: __name__, __qualname__, __module__,
    # __doc__ and __wrapped__ as they were at decoration, the others as the
    # function has them now. `object` declares __module__, __doc__ and
    # __annotations__ writable; a decorator's are not.
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...
    @property
    def __module__(self) -> str: ...  # type: ignore[override]
    @property
    def __doc__(self) -> str | None: ...  # type: ignore[override]
    @property
    def __wrapped__(self) -> Callable[Concatenate[Any, _P], _R_co]: ...
    @property
    def __code__(self) -> CodeType: ...
    @property
    def __defaults__(self) -> tuple[Any, ...] | None: ...
    @property
    def __kwdefaults__(self) -> dict[str, Any] | None: ...
    @property
    def __annotations__(self) -> dict[str, Any]: ...  # type: ignore[override]
    # Whether the decorated function is abstract (abc.abstractmethod).
    @property
    def __isabstractmethod__(self) -> bool: ...
    def __call__(self, instance: _S_co, /, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...  # type: ignore[misc]  # pyright: ignore[reportGeneralTypeIssues]

# What reading a decorated method through an instance gives: at run time a
# types.MethodType whose __func__ is the decorator and __self__ the instance.
# Its call takes the method's parameters after self.
@final
class _BoundQuarrineMethod(Generic[_P, _R_co]):
    @property
    def __func__(self) -> QuarrineDecorator[Any, _P, _R_co]: ...
    @property
    def __self__(self) -> QuarrineBase: ...
    def __call__(self, /, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...
