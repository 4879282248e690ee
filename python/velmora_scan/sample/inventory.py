"""Stock records with loops, early exits and exception handling."""

from .pricing import discount, price_of


class Item:
    def __init__(self, sku, quantity, unit_price):
        self.sku = sku
        self.quantity = quantity
        self.unit_price = unit_price

    def value(self):
        return price_of(self.quantity, self.unit_price)


class Inventory:
    def __init__(self):
        self.items = {}

    def add(self, item):
        if item.sku in self.items:
            self.items[item.sku].quantity += item.quantity
        else:
            self.items[item.sku] = item

    def remove(self, sku, quantity):
        item = self.items.get(sku)
        if item is None:
            raise KeyError(sku)
        if quantity > item.quantity:
            return False
        item.quantity -= quantity
        if item.quantity == 0:
            del self.items[sku]
        return True

    def total(self, customer=None):
        total = 0
        for item in self.items.values():
            if item.quantity <= 0:
                continue
            total += item.value()
        return discount(total, customer)

    def first_short(self, wanted):
        for sku, quantity in wanted.items():
            item = self.items.get(sku)
            if item is None or item.quantity < quantity:
                break
        else:
            return None
        return sku

    def load(self, rows):
        loaded = 0
        errors = []
        for number, row in enumerate(rows):
            try:
                sku, quantity, price = row.split(",")
                self.add(Item(sku.strip(), int(quantity), float(price)))
            except ValueError as exc:
                errors.append((number, str(exc)))
                continue
            except TypeError:
                errors.append((number, "not text"))
            else:
                loaded += 1
            finally:
                if len(errors) > 10:
                    break
        return loaded, errors

    def report(self):
        lines = [f"{i.sku}: {i.quantity}" for i in self.items.values() if i.quantity]
        return "\n".join(lines)
