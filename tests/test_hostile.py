"""Hostile input: arguments whose __hash__ and __eq__ raise, lie or call back
into the instance; finalisers that re-enter when the store releases them; a
method that removes its own decorator; deep recursion; a long call chain;
reassigned classes; wrong arguments to every entry point.

Each case is a scenario of scenarios/hostile.py, run in a fresh interpreter
(a crash fails one test), which ends by checking that the store still works.
The outcome is always the specified result or a Python exception with its
message.
"""

import pytest

from scenarios import hostile


def run_case(run_scenario, *scenario):
    assert run_scenario("hostile", *scenario).endswith("usable\n")


@pytest.mark.parametrize("case", hostile.HASH_EQ)
def test_hostile_hash_and_eq(case, run_scenario):
    run_case(run_scenario, "hash_and_eq", case)


@pytest.mark.parametrize("action", hostile.ACTIONS)
@pytest.mark.parametrize("holder", hostile.HOLDERS)
def test_reentering_while_the_store_is_held(holder, action, run_scenario):
    run_case(run_scenario, "reentering_while_held", holder, action)


@pytest.mark.parametrize("action", hostile.ACTIONS)
@pytest.mark.parametrize("releaser", hostile.RELEASERS)
def test_finaliser_reentering_when_released(releaser, action, run_scenario):
    run_case(run_scenario, "finaliser_reentering", releaser, action)


@pytest.mark.parametrize("how", ["destruction", "collection"])
def test_instance_finaliser_using_and_resurrecting_its_instance(how, run_scenario):
    run_case(run_scenario, "instance_finaliser", how)


@pytest.mark.parametrize("case", hostile.SELF_REMOVAL)
def test_method_removing_its_own_decorator_while_it_runs(case, run_scenario):
    run_case(run_scenario, "self_removal", case)


def test_recursing_50000_deep_on_the_main_thread(run_scenario):
    run_case(run_scenario, "deep_on_the_main_thread")


def test_recursing_50000_deep_in_a_thread_with_a_large_stack(run_scenario):
    run_case(run_scenario, "deep_in_a_thread_with_a_large_stack")


def test_invalidation_through_a_long_chain_on_a_small_stack(run_scenario):
    run_case(run_scenario, "long_chain_of_calls")


def test_reassigned_class_works_on_the_same_store(run_scenario):
    run_case(run_scenario, "reassigned_class")


@pytest.mark.parametrize("call", hostile.WRONG_ARGUMENTS)
def test_wrong_types_and_arities(call, run_scenario):
    run_case(run_scenario, "wrong_arguments", call)
