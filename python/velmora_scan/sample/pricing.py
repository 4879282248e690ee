"""Prices and discounts: match statements and nested functions."""


def price_of(quantity, unit_price):
    return round(quantity * unit_price, 2)


def discount(total, customer):
    match customer:
        case None:
            rate = 0.0
        case {"tier": "gold"}:
            rate = 0.1
        case {"tier": "silver", "years": years} if years > 3:
            rate = 0.07
        case {"tier": "silver"}:
            rate = 0.05
        case _:
            rate = 0.0
    return total * (1 - rate)


def tiered(thresholds):
    ordered = sorted(thresholds)

    def rate_for(total):
        best = 0.0
        for limit, rate in ordered:
            if total < limit:
                break
            best = rate
        return best

    return rate_for


def bulk_discount(total, customer):
    match customer:
        case None:
            rate = 0.0
        case {"tier": "gold"}:
            rate = 0.1
        case {"tier": "silver", "years": years} if years > 5:
            rate = 0.08
        case {"tier": "silver"}:
            rate = 0.05
        case _:
            rate = 0.0
    return total * (1 - rate)
