"""A small program to profile: a shop that prices baskets, partly on worker threads."""

import threading
from dataclasses import dataclass


@dataclass
class Item:
    name: str
    price_cents: int
    quantity: int


class Basket:
    def __init__(self, owner):
        self.owner = owner
        self.items = []

    def add(self, name, price_cents, quantity=1):
        self.items.append(Item(name, price_cents, quantity))
        return len(self.items)

    def total(self):
        return sum(line_total(item) for item in self.items)


def line_total(item):
    discount = bulk_discount(item.quantity)
    return item.price_cents * item.quantity * (100 - discount) // 100


def bulk_discount(quantity):
    if quantity >= 10:
        return 15
    if quantity >= 3:
        return 5
    return 0


def fibonacci(n):
    return n if n < 2 else fibonacci(n - 1) + fibonacci(n - 2)


def price_baskets(owners, results):
    for owner in owners:
        basket = Basket(owner)
        basket.add("apple", 40, quantity=12)
        basket.add("bread", 250)
        basket.add("coffee", 899, quantity=3)
        results[owner] = basket.total()


def main():
    results = {}
    workers = [threading.Thread(target=price_baskets, args=(names, results), name=f"pricer-{i}")
               for i, names in enumerate([["ada", "bob"], ["cy"]])]
    for worker in workers:
        worker.start()
    price_baskets(["dee"], results)
    for worker in workers:
        worker.join()
    print("totals:", dict(sorted(results.items())), "fib(10):", fibonacci(10))


if __name__ == "__main__":
    main()
