"""A line-oriented order parser: while loops with break and continue."""

from . import pricing


def tokens(text):
    out = []
    i = 0
    while i < len(text):
        ch = text[i]
        if ch.isspace():
            i += 1
            continue
        if ch == "#":
            break
        j = i
        while j < len(text) and not text[j].isspace():
            j += 1
        out.append(text[i:j])
        i = j
    return out


def parse_orders(lines):
    orders = []
    for line in lines:
        words = tokens(line)
        if not words:
            continue
        if words[0] == "end":
            break
        elif words[0] == "order" and len(words) == 3:
            orders.append((words[1], int(words[2])))
        elif words[0] == "note":
            pass
        else:
            raise ValueError(f"bad line: {line!r}")
    return orders


def quote(orders, prices):
    total = 0.0
    for sku, quantity in orders:
        total += pricing.price_of(quantity, prices.get(sku, 0.0))
    return total


def retry(action, attempts=3):
    last = None
    while True:
        try:
            return action()
        except OSError as exc:
            last = exc
            attempts -= 1
            if attempts <= 0:
                raise
        finally:
            last = None if attempts > 0 else last


def run(lines, prices):
    orders = parse_orders(lines)
    for sku, _ in orders:
        tokens(sku)
    return quote(orders, prices)


def run_file(path, prices):
    with open(path) as fh:
        return run(fh, prices)


def run_text(text, prices):
    return run(text.splitlines(), prices)
