"""Mistakes that the published typing of quarrine must catch.

Each line that a checker must report ends with a comment naming the error
code (mypy) and the rule (pyright) expected on that line; no other line may
be reported. This file is only type-checked, never run.
"""

# pyright: strict

from __future__ import annotations

from typing import Any

from quarrine import QuarrineBase, automagically_quarrined, quarrined
from quarrine import QuarrineDecorator, QuarrineGraph  # expect: mypy[attr-defined] pyright[reportAttributeAccessIssue,reportUnknownVariableType,reportUnusedImport]


class Ledger(QuarrineBase):
    @quarrined(serialisable=True)
    def balance(self) -> float:
        return 10.0


ledger = Ledger()
ledger.get_cached_value(5)  # expect: mypy[arg-type] pyright[reportArgumentType]
ledger.get_cached_value()  # expect: mypy[call-arg] pyright[reportCallIssue]
ledger.update_cached_value("balance")  # expect: mypy[call-arg] pyright[reportCallIssue]
ledger.dump_cache(order=3)  # expect: mypy[arg-type] pyright[reportArgumentType]
ledger.dump_cache(order=[1, 2])  # expect: mypy[list-item] pyright[reportArgumentType]
ledger.dump_cache(["balance"], None)  # expect: mypy[call-arg] pyright[reportCallIssue]
ledger.load_cache([("balance", 1.0)])  # expect: mypy[arg-type] pyright[reportArgumentType]
ledger.load_cache({"balance": 1.0}, order={"balance"})  # expect: mypy[arg-type] pyright[reportArgumentType]
ledger.clear_cache(True)  # expect: mypy[call-arg] pyright[reportCallIssue]
ledger.get_validation_state(self=ledger)  # expect: mypy[call-arg] pyright[reportCallIssue]
nothing: int = ledger.load_cache({})  # expect: mypy[func-returns-value,assignment] pyright[reportAssignmentType]
listing: list[str] = ledger.get_cached_values()  # expect: mypy[assignment] pyright[reportAssignmentType]

quarrined(use_cache=1)  # expect: mypy[arg-type] pyright[reportArgumentType]
automagically_quarrined(serialisable="yes")  # expect: mypy[arg-type] pyright[reportArgumentType]
quarrined(cache=True)  # expect: mypy[call-arg] pyright[reportCallIssue]
quarrined()()  # expect: mypy[call-arg] pyright[reportCallIssue]
decorator: QuarrineDecorator[Any, ..., None] = quarrined()(print)
decorator.__set__(ledger)  # expect: mypy[call-arg] pyright[reportCallIssue]
ledger.balance = lambda: 1.0  # expect: mypy[assignment] pyright[reportAttributeAccessIssue]
Ledger.balance.__name__ = "total"  # expect: mypy[misc] pyright[reportAttributeAccessIssue]
quarrined(dependencies=[("balance", 2025)])  # expect: mypy[list-item] pyright[reportArgumentType]
automagically_quarrined(dependencies=("balance",))  # expect: mypy[arg-type] pyright[reportArgumentType]


class Memo(quarrined):  # expect: mypy[misc] pyright[reportGeneralTypeIssues]
    pass


class AutoMemo(automagically_quarrined):  # expect: mypy[misc] pyright[reportGeneralTypeIssues]
    pass


def untyped_use(value: Any) -> None:
    ledger.update_cached_value("balance", value, note=value)
