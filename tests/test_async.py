"""Cached async methods: a call gives a fresh coroutine; the store keeps the
awaited result; concurrent awaits of one call share one run of the body;
failures, cancellation and invalidation reach the run's callers as they
should; the running call is tracked per task. Every scenario is bounded by
asyncio.wait_for, so that a hang fails its test."""

import asyncio
import inspect
import threading

import pytest

from quarrine import QuarrineBase, automagically_quarrined, quarrined

LIMIT = 10  # seconds a scenario may take before it counts as a hang


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, LIMIT))


class Feed(QuarrineBase):
    def __init__(self):
        self.runs, self.gate, self.seen_cancel = {}, None, False

    def ran(self, name):
        self.runs[name] = self.runs.get(name, 0) + 1

    @quarrined()
    async def page(self, n):
        self.ran("page")
        try:
            if self.gate is not None:
                await self.gate.wait()
            await asyncio.sleep(0)
        except asyncio.CancelledError:
            self.seen_cancel = True
            raise
        if n < 0:
            raise LookupError(f"no page {n}")
        return [n]

    @quarrined()
    def rate(self):
        return 2

    @quarrined(track_runtime_dependencies=True)
    async def report(self):
        self.ran("report")
        first = self.rate()
        pages = await asyncio.gather(self.page(1), self.page(2))
        return first * sum(page[0] for page in pages)


def test_a_call_gives_a_fresh_coroutine_and_the_store_keeps_the_awaited_result():
    feed = Feed()
    first = feed.page(1)
    assert inspect.iscoroutine(first)
    assert asyncio.run(first) == [1]
    second = feed.page(1)
    assert inspect.iscoroutine(second) and second is not first
    assert asyncio.run(second) == [1]  # on another loop: the result outlives the first
    assert feed.runs == {"page": 1}
    assert feed.get_cached_value("page", n=1) == [1]
    feed.update_cached_value("page", [7], n=1)
    assert asyncio.run(feed.page(1)) == [7] and feed.runs == {"page": 1}


def test_concurrent_awaits_of_one_call_share_one_run():
    async def scenario():
        feed = Feed()
        results = await asyncio.gather(*(feed.page(1) for _ in range(5)), feed.page(2))
        assert results == [[1]] * 5 + [[2]]
        assert all(result is results[0] for result in results[:5])
        assert feed.runs == {"page": 2}

    run(scenario())


def test_a_failure_reaches_every_waiter_and_the_next_await_runs_again():
    async def scenario():
        feed = Feed()
        outcomes = await asyncio.gather(*(feed.page(-1) for _ in range(3)), return_exceptions=True)
        assert [type(outcome) for outcome in outcomes] == [LookupError] * 3
        assert feed.runs == {"page": 1} and feed.get_cached_values() == {}
        with pytest.raises(LookupError):
            await feed.page(-1)
        assert feed.runs == {"page": 2}

    run(scenario())


def test_cancelling_one_waiter_leaves_the_run_and_cancelling_all_cancels_it():
    async def scenario():
        feed = Feed()
        feed.gate = asyncio.Event()
        waiters = [asyncio.ensure_future(feed.page(1)) for _ in range(2)]
        await asyncio.sleep(0.01)
        waiters[0].cancel()
        feed.gate.set()
        assert await waiters[1] == [1] and waiters[0].cancelled()
        assert not feed.seen_cancel and feed.get_cached_value("page", n=1) == [1]

        feed.gate = asyncio.Event()
        waiters = [asyncio.ensure_future(feed.page(2)) for _ in range(2)]
        await asyncio.sleep(0.01)
        for waiter in waiters:
            waiter.cancel()
        await asyncio.gather(*waiters, return_exceptions=True)
        await asyncio.sleep(0.01)
        assert feed.seen_cancel and feed.get_cached_value("page", n=2) is None
        feed.gate = None
        assert await feed.page(2) == [2] and feed.runs == {"page": 3}

    run(scenario())


def test_an_invalidated_run_gives_its_waiters_its_result_but_stores_nothing():
    class Priced(QuarrineBase):
        def __init__(self):
            self.price_value, self.gate, self.runs = 1, None, 0

        @quarrined()
        def price(self):
            return self.price_value

        @quarrined(track_runtime_dependencies=True)
        async def quote(self):
            self.runs += 1
            price = self.price()
            if self.gate is not None:
                gate, self.gate = self.gate, None
                await gate.wait()
            return price * 10

    async def scenario():
        priced = Priced()
        gate = priced.gate = asyncio.Event()
        old = asyncio.ensure_future(priced.quote())
        await asyncio.sleep(0.01)
        priced.price_value = 2
        priced.update_cached_value("price", 2)
        assert await priced.quote() == 20 and priced.runs == 2
        gate.set()
        assert await old == 10  # its own waiters get what it computed
        assert priced.get_cached_value("quote") == 20 and await priced.quote() == 20
        assert priced.runs == 2

    run(scenario())


def test_dependencies_are_recorded_per_task():
    class Book(QuarrineBase):
        @quarrined()
        def a(self):
            return 1

        @quarrined()
        def b(self):
            return 2

        @quarrined()
        async def part(self, n):
            await asyncio.sleep(0)
            return n

        async def helper(self):
            await asyncio.sleep(0)
            return self.b()

        @quarrined(track_runtime_dependencies=True)
        async def first(self):
            x = self.a()
            await asyncio.sleep(0)
            y = await self.helper()  # a plain coroutine awaited in the body
            z = await asyncio.gather(self.part(1), asyncio.ensure_future(self.helper()))
            return x + y + sum(z)

        @quarrined(track_runtime_dependencies=True)
        async def second(self):
            await asyncio.sleep(0)
            return await self.part(5)

    async def scenario():
        book = Book()
        assert await asyncio.gather(book.first(), book.second()) == [6, 5]
        graph = book.get_dependency_graph()
        parents = {key: {p for p, children in graph.items() if key in children} for key in graph}
        assert parents["first"] == {"a", "b", ("part", (("n", 1),))}
        assert parents["second"] == {("part", (("n", 5),))}

    run(scenario())


def test_a_call_awaiting_itself_in_its_own_run_runs_the_body():
    class Recursive(QuarrineBase):
        runs = 0

        @quarrined(track_runtime_dependencies=True)
        async def depth(self, n):
            Recursive.runs += 1
            if Recursive.runs == 1:  # the first run awaits the very same call once
                return await self.depth(n) + 1
            return n

    async def scenario():
        obj = Recursive()
        assert await obj.depth(3) == 4 and Recursive.runs == 2
        # a run computed from a running call of itself is not stored
        assert obj.get_cached_value("depth", n=3) is None

    run(scenario())


@pytest.mark.parametrize("name, expected", [("page", True), ("rate", False)])
def test_iscoroutinefunction_tells_async_cached_methods(name, expected):
    assert inspect.iscoroutinefunction(getattr(Feed, name)) is expected
    assert inspect.iscoroutinefunction(getattr(Feed(), name)) is expected


@pytest.mark.parametrize("kind", ["generator", "async generator"])
def test_generator_functions_are_refused(kind):
    namespace = {}
    exec(f"{'async ' if kind == 'async generator' else ''}def items(self):\n    yield 1\n", namespace)
    with pytest.raises(TypeError) as raised:
        quarrined()(namespace["items"])
    assert str(raised.value) == (f"cannot cache 'items': its result, a{'n' if kind[0] == 'a' else ''} "
                                 f"{kind}, can be consumed only once; return a list or a tuple instead")


def test_runs_are_shared_within_one_loop_only_and_dump_and_load_do_not_await():
    class Source(QuarrineBase):
        def __init__(self):
            self.runs, self.started = 0, threading.Event()

        @quarrined(serialisable=True)
        async def fetch(self):
            self.runs += 1
            self.started.set()
            await asyncio.sleep(0.05)
            return "data"

    source = Source()
    with pytest.raises(TypeError, match="cannot dump 'fetch': it is an async method"):
        source.dump_cache()
    other = threading.Thread(target=lambda: asyncio.run(source.fetch()))
    other.start()
    assert source.started.wait(LIMIT)
    assert run(source.fetch()) == "data"  # its own run, on this thread's loop
    other.join(LIMIT)
    assert source.runs == 2 and source.dump_cache() == {"fetch": "data"}

    loaded = Source()
    loaded.load_cache({"fetch": "warm"})
    assert loaded.runs == 0 and run(loaded.fetch()) == "warm" and loaded.runs == 0
