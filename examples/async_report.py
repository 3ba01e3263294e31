"""An async client whose fetched pages feed a cached report.

`fetch(page)` stands for a network request (here a short sleep). Three
reports asked for at once fetch each page once: concurrent awaits of one
call share one run. The report records the pages it awaited, so when one
page is refreshed by hand, only the report is computed again.

Run it: python examples/async_report.py
"""

import asyncio

from quarrine import QuarrineBase, quarrined

PAGES = {1: [120.0, 80.5], 2: [99.9], 3: [15.0, 15.0, 4.5]}


class SalesClient(QuarrineBase):
    def __init__(self):
        self.requests = []

    @quarrined()
    async def fetch(self, page):
        self.requests.append(page)
        await asyncio.sleep(0.01)  # the network
        return PAGES[page]

    @quarrined(track_runtime_dependencies=True)
    async def report(self):
        pages = await asyncio.gather(*(self.fetch(page) for page in PAGES))
        total = sum(sum(amounts) for amounts in pages)
        return f"{sum(len(amounts) for amounts in pages)} sales, {total:.2f} in all"


async def main():
    client = SalesClient()
    reports = await asyncio.gather(client.report(), client.report(), client.report())
    print("three reports at once:", reports[0])
    print("requests made:", client.requests)

    print("asked again:", await client.report(), "- requests made:", client.requests)

    client.update_cached_value("fetch", [500.0], page=2)
    print("after page 2 was refreshed:", await client.report())
    print("requests made:", client.requests)


if __name__ == "__main__":
    asyncio.run(main())
