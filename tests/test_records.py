"""Record classes: class shape, and instances built natively through the test extension."""
import gc
import math
import os
import sys
import tracemalloc
import warnings
from datetime import datetime, timezone

import pytest

import tavik.tavik as tt

UTC = timezone.utc

FIELDS = {
    "Pair": ("交易对", [
        ("kind", "交易品种"), ("code", "交易代码"), ("base", "基础货币"), ("quote", "计价货币"),
        ("min_volume", "最小下单数量"), ("min_price", "最小下单价格"), ("min_amount", "最小下单金额"),
    ]),
    "Candle": ("K线", [
        ("kind", "交易品种"), ("code", "交易代码"), ("interval", "K线周期"), ("open_time", "开盘时间"),
        ("close_time", "收盘时间"), ("open", "开盘价"), ("high", "最高价"), ("low", "最低价"), ("close", "收盘价"),
        ("volume", "成交量"), ("amount", "成交额"), ("trades", "交易笔数"),
    ]),
    "Order": ("订单", [
        ("id", "订单ID"), ("kind", "交易品种"), ("type", "交易类型"), ("side", "交易方向"), ("code", "交易代码"),
        ("status", "订单状态"), ("volume", "下单数量"), ("price", "下单价格"), ("filled_volume", "已成交数量"),
        ("filled_price", "已成交均价"), ("fee", "交易手续费"), ("create_time", "下单时间"),
    ]),
    "Position": ("持仓", [
        ("kind", "交易品种"), ("code", "交易代码"), ("side", "交易方向"), ("volume", "持仓数量"),
        ("price", "持仓均价"), ("leverage", "杠杆倍率"),
    ]),
}

T0 = (2024, 1, 2, 11045, 123_456_789)  # 03:04:05.123456789
D0 = datetime(2024, 1, 2, 3, 4, 5, 123456, tzinfo=UTC)


@pytest.mark.parametrize("name", FIELDS)
def test_class_shape(name):
    cls = getattr(tt, name)
    doc, fields = FIELDS[name]
    assert cls.__doc__ == doc
    assert cls.__module__ == "builtins" and cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    descriptors = {k: v for k, v in vars(cls).items() if type(v).__name__ == "getset_descriptor" and not k.startswith("__")}
    assert {k: v.__doc__ for k, v in descriptors.items()} == dict(fields)
    assert all(v.__name__ == k for k, v in descriptors.items())
    assert set(dict(fields)) <= set(dir(cls))
    assert cls.__flags__ & (1 << 10) == 0 and cls.__flags__ & (1 << 14) == 0
    assert "__dict__" not in vars(cls) and "__weakref__" not in vars(cls)
    own = set(vars(cls)) - set(descriptors) - {"__doc__", "__new__", "__module__"}
    assert own == set(), own  # no methods, comparison, hash or repr of its own


@pytest.mark.parametrize("name", FIELDS)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"kind": None})])
def test_construction_refused(name, args, kwargs):
    cls = getattr(tt, name)
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError) as info:
        cls.__new__(cls)
    assert str(info.value) == f"No constructor defined for {name}"


@pytest.mark.parametrize("name", FIELDS)
def test_subclassing_refused(name):
    with pytest.raises(TypeError):
        type("X", (getattr(tt, name),), {})


@pytest.fixture
def order(testing):
    return testing.make_order(
        "订单-001", 1, 0, 1, "BTC/USDT", 2, 1.5, 42000.25, 0.0, float("nan"), -0.0, T0
    )


def test_order_fields(order):
    assert type(order) is tt.Order
    assert order.id == "订单-001" and order.code == "BTC/USDT"
    assert order.kind == tt.TradeKind.Future and order.type == tt.TradeType.Limit
    assert order.side == tt.TradeSide.Short and int(order.side) == 1
    assert order.status == tt.OrderStatus.PartialFilled
    assert (order.volume, order.price, order.filled_volume) == (1.5, 42000.25, 0.0)
    assert math.isnan(order.filled_price)
    assert order.fee == 0.0 and math.copysign(1.0, order.fee) == -1.0
    assert order.create_time == D0 and order.create_time.tzinfo is UTC


@pytest.mark.parametrize("field, member", [("kind", tt.TradeKind.Future), ("side", tt.TradeSide.Short),
                                           ("status", tt.OrderStatus.PartialFilled), ("type", tt.TradeType.Limit)])
def test_enumeration_reads_are_equal_but_new(order, field, member):
    first, second = getattr(order, field), getattr(order, field)
    assert first == second == member
    assert first is not second and first is not member
    assert type(first) is type(member)


@pytest.mark.parametrize(
    "field, value",
    [("leverage", 2_147_483_647), ("leverage", -1), ("leverage", -2_147_483_648), ("leverage", 0)],
)
def test_position_int32(testing, field, value):
    position = testing.make_position(0, "", 0, 0.0, -3.5, value)
    assert position.leverage == value and type(position.leverage) is int
    assert position.code == "" and position.volume == 0.0 and position.price == -3.5


@pytest.mark.parametrize("trades", [2**31, 2**63 - 1, -1, -(2**63), 0])
def test_candle_trades_int64(testing, trades):
    candle = testing.make_candle(0, "ETH", 4, T0, T0, 1.0, 2.0, 0.5, 1.5, 10.0, 15.0, trades)
    assert candle.trades == trades


@pytest.mark.parametrize("value", [float("inf"), float("-inf"), 5e-324, -1.7976931348623157e308, 0.1])
def test_pair_doubles_exact(testing, value):
    pair = testing.make_pair(0, "BTCUSDT", "BTC", "USDT", value, value, value)
    assert (pair.min_volume, pair.min_price, pair.min_amount) == (value, value, value)
    assert (pair.code, pair.base, pair.quote) == ("BTCUSDT", "BTC", "USDT")
    assert pair.kind == tt.TradeKind.Spot


@pytest.mark.parametrize("text", ["", "比特币/泰达币", "a\x00b", "🚀" * 100, "x" * 10_000])
def test_texts_read_back_identically(testing, text):
    pair = testing.make_pair(0, text, text, text, 0.0, 0.0, 0.0)
    assert pair.code == pair.base == pair.quote == text


def test_candle_instants_and_out_of_range_years(testing):
    candle = testing.make_candle(1, "X", 2, (0, 1, 1, 0, 0), (10000, 1, 1, 0, 0), 1, 2, 3, 4, 5, 6, 7)
    for field in ("open_time", "close_time"):
        with pytest.raises(ValueError, match="year"):
            getattr(candle, field)
    assert candle.interval == tt.CandleInterval.Min15 and candle.code == "X" and candle.trades == 7
    with pytest.raises(ValueError):
        candle.open_time  # a failed read leaves the record readable and failing the same way


def test_instant_field_leap_second_warns(testing):
    order = testing.make_order("1", 0, 1, 0, "X", 0, 1, 1, 1, 1, 1, (2016, 12, 31, 86399, 1_500_000_000))
    with pytest.warns(UserWarning, match="leap-second"):
        assert order.create_time == datetime(2016, 12, 31, 23, 59, 59, 500000, tzinfo=UTC)


def test_records_are_read_only_and_have_no_dict(order):
    with pytest.raises(AttributeError):
        order.id = "other"
    with pytest.raises(AttributeError):
        del order.price
    with pytest.raises(AttributeError):
        order.extra = 1
    assert order.id == "订单-001"
    assert order == order and order != tt  # identity equality
    hash(order)
    assert repr(order).startswith("<builtins.Order object at 0x")


def test_descriptor_refuses_other_objects(order):
    with pytest.raises(TypeError):
        tt.Pair.code.__get__(order)


@pytest.mark.parametrize(
    "maker, args",
    [
        ("make_pair", (2, "c", "b", "q", 0, 0, 0)),
        ("make_pair", (-1, "c", "b", "q", 0, 0, 0)),
        ("make_candle", (0, "c", 5, T0, T0, 0, 0, 0, 0, 0, 0, 0)),
        ("make_candle", (0, "c", 0, (2023, 2, 29, 0, 0), T0, 0, 0, 0, 0, 0, 0, 0)),
        ("make_candle", (0, "c", 0, T0, (2024, 1, 1, 86400, 0), 0, 0, 0, 0, 0, 0, 0)),
        ("make_order", ("i", 0, 0, 0, "c", 6, 0, 0, 0, 0, 0, T0)),
        ("make_order", ("i", 0, 0, 0, "c", 0, 0, 0, 0, 0, 0, (2024, 1, 1, 100, 1_000_000_000))),
        ("make_position", (0, "c", 0, 0, 0, 2**31)),
    ],
)
def test_factory_refuses_what_the_module_could_not_hold(testing, maker, args):
    with pytest.raises(ValueError):
        getattr(testing, maker)(*args)


@pytest.mark.parametrize("name", FIELDS)
def test_factory_refuses_a_lookalike_class(testing, monkeypatch, name):
    """A Python class with the record's type name and instance size, bound in the record's
    place: the factory must not write the record's fields into it."""
    real = getattr(tt, name)
    slots = tuple(f"s{i}" for i in range((real.__basicsize__ - object.__basicsize__) // 8))
    lookalike = type("builtins." + name, (), {"__slots__": slots})
    assert lookalike.__basicsize__ == real.__basicsize__
    monkeypatch.setattr(tt, name, lookalike)
    with pytest.raises(RuntimeError, match=f"tavik.tavik.{name} is not the record class"):
        getattr(testing, "make_" + name.lower())(*[None] * len(FIELDS[name][1]))


def _memory():
    gc.collect()
    with open(f"/proc/{os.getpid()}/statm") as f:
        rss_pages = int(f.read().split()[1])
    return rss_pages * os.sysconf("SC_PAGE_SIZE"), sys.getallocatedblocks()


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_a_million_records_leave_memory_flat(testing):
    make = testing.make_order
    args = ("订单-0001", 1, 1, 0, "BTC/USDT" * 4, 3, 1.0, 2.0, 3.0, 4.0, 5.0, T0)

    def churn(n):
        for _ in range(n):
            order = make(*args)
            order.id, order.code, order.status, order.create_time

    churn(10_000)  # warm up caches and free lists
    rss_before, blocks_before = _memory()
    churn(1_000_000)
    rss_after, blocks_after = _memory()
    # A leak of one block per record would show as a million blocks.
    assert blocks_after - blocks_before < 1000
    assert rss_after - rss_before < 4 * 1024 * 1024
    tracemalloc.start()
    churn(100_000)
    gc.collect()
    traced, _peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert traced < 64 * 1024
