"""QuarrineBase beside the bases users' models already have: pydantic and
msgspec models, dict, exceptions, mixins before it, __slots__ classes. It
adds no layout of its own, so the interpreter accepts each combination; each
instance's cache is its own, whatever copies its state."""

import copy
import gc
import pickle
import weakref

import pytest

from quarrine import QuarrineBase, quarrined

pydantic = pytest.importorskip("pydantic")
msgspec = pytest.importorskip("msgspec")


class Mixin:
    def describe(self):
        return type(self).__name__


def total(self):
    return self.qty * 10


# One class per kind of host, at module level so that pickle finds them; each
# has a cached total() that reads the field qty.
class First(QuarrineBase):
    total = quarrined()(total)


class AfterMixin(Mixin, QuarrineBase):
    total = quarrined()(total)


class ModelFirst(QuarrineBase, pydantic.BaseModel):
    qty: int
    total = quarrined()(total)


class ModelSecond(pydantic.BaseModel, QuarrineBase):
    qty: int
    total = quarrined()(total)


class Struct(QuarrineBase, msgspec.Struct, dict=True):
    qty: int
    total = quarrined()(total)


class Mapping(QuarrineBase, dict):
    total = quarrined()(total)


class Failure(QuarrineBase, Exception):
    total = quarrined()(total)


HOSTS = {cls.__name__: cls for cls in (First, AfterMixin, ModelFirst, ModelSecond, Struct, Mapping, Failure)}


def make(cls, qty):
    if issubclass(cls, (pydantic.BaseModel, msgspec.Struct)):
        return cls(qty=qty)
    obj = cls()
    obj.qty = qty
    return obj


@pytest.mark.parametrize("host", HOSTS)
class TestHosts:
    def test_cached_methods_read_the_fields_and_invalidate(self, host):
        obj = make(HOSTS[host], 3)
        assert obj.total() == 30 and obj.total() == 30
        obj.update_cached_value("total", 7)
        assert obj.total() == 7
        obj.clear_cache()
        assert obj.total() == 30

    def test_a_copy_has_a_cache_of_its_own(self, host):
        obj = make(HOSTS[host], 3)
        obj.update_cached_value("total", 7)
        for duplicate in (copy.copy(obj), copy.deepcopy(obj), pickle.loads(pickle.dumps(obj))):
            assert duplicate.total() == 30
        assert obj.total() == 7

    def test_a_cycle_through_a_stored_result_is_collected(self, host):
        obj = make(HOSTS[host], 3)
        obj.update_cached_value("total", [obj])
        alive = weakref.ref(obj) if host != "Struct" else None
        del obj
        gc.collect()
        assert alive is None or alive() is None


def test_pydantic_validation_dump_and_fields_are_unaffected():
    order = ModelFirst(qty="4")
    assert order.total() == 40
    assert order.model_dump() == {"qty": 4} and list(ModelFirst.model_fields) == ["qty"]
    assert order == ModelFirst(qty=4)
    with pytest.raises(pydantic.ValidationError):
        ModelFirst(qty="four")
    assert order.model_copy(update={"qty": 5}).total() == 50


def test_msgspec_encoding_is_unaffected():
    order = Struct(qty=2)
    assert order.total() == 20
    assert msgspec.json.encode(order) == b'{"qty":2}'


def test_a_dict_copied_into_another_instance_does_not_bring_its_cache():
    first, second = make(AfterMixin, 1), make(AfterMixin, 2)  # the cache lives in their dicts
    first.update_cached_value("total", "first's")
    vars(second).update(vars(first))  # qty and the store of first
    assert second.total() == 10 and first.total() == "first's"
    assert "__quarrine_store__" not in vars(copy.copy(first))  # a copy's state leaves it out


class TestSlots:
    def test_a_slots_class_keeps_its_cache_without_a_dict(self):
        class Point(QuarrineBase):
            __slots__ = ("x",)

            @quarrined()
            def double(self):
                return self.x * 2

        point = Point()
        point.x = 4
        assert point.double() == 8 and not hasattr(point, "__dict__")
        point.update_cached_value("double", 1)
        assert point.double() == 1

    def test_a_slots_class_that_cannot_keep_a_cache_says_what_to_change(self):
        class SlotMixin:
            __slots__ = ()

        class Point(SlotMixin, QuarrineBase):
            __slots__ = ("x",)

            @quarrined()
            def double(self):
                return 2

        with pytest.raises(TypeError, match="list QuarrineBase as its first base"):
            Point().double()


def test_a_class_assignment_never_leaves_a_store_behind_its_instance():
    class Moved(Mixin, First):  # its deallocation does not run QuarrineBase's
        pass

    obj = make(First, 1)
    obj.update_cached_value("total", "stored")
    try:
        obj.__class__ = Moved
    except TypeError:  # refused by the interpreter where the layouts differ
        assert obj.total() == "stored"
    else:
        assert obj.total() == 10  # the store went with the old class
        obj.__class__ = First
        assert obj.total() == 10 and type(obj) is First
