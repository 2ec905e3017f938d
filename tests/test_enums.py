import operator

import pytest

import tavik.tavik as tt

CATALOGUE = {
    "RunMode": ("运行模式", ["Backtest", "Simulation", "Live"]),
    "TradeKind": ("交易品种", ["Spot", "Future"]),
    "TradeType": ("交易类型", ["Limit", "Market"]),
    "TradeSide": ("交易方向", ["Long", "Short"]),
    "OrderStatus": ("订单状态", ["Created", "Submitted", "PartialFilled", "Filled", "Canceled", "Rejected"]),
    "CandleInterval": ("K线周期", ["Min1", "Min5", "Min15", "Hour1", "Day1"]),
    "EventType": (
        "事件类型",
        [
            "Initialize", "Start", "Stop", "Daily", "Hourly", "Minutely", "Secondly",
            "Tick", "QuoteChange", "AccountChange", "PositionChange", "OrderChange",
        ],
    ),
}

MEMBERS = [(cls, i, name) for cls, (_, names) in CATALOGUE.items() for i, name in enumerate(names)]


@pytest.mark.parametrize("cls_name", CATALOGUE)
def test_class_shape(cls_name):
    cls = getattr(tt, cls_name)
    doc, members = CATALOGUE[cls_name]
    assert cls.__doc__ == doc
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == cls_name
    assert cls.__bases__ == (object,)
    assert cls.__hash__ is None
    flags = cls.__flags__
    assert not flags & (1 << 10)  # not a base type
    assert not flags & (1 << 14)  # not garbage-collected
    assert not flags & (1 << 8)  # not immutable
    assert [k for k, v in vars(cls).items() if isinstance(v, cls)] == members
    for attr in ("__index__", "__float__", "__bool__", "__len__", "__str__", "__hash__"):
        assert attr not in vars(cls) or vars(cls)[attr] is None, attr


@pytest.mark.parametrize("cls_name, value, member", MEMBERS)
def test_member(cls_name, value, member):
    cls = getattr(tt, cls_name)
    obj = getattr(cls, member)
    assert obj is getattr(cls, member)
    assert type(obj) is cls
    assert repr(obj) == str(obj) == f"{cls_name}.{member}"
    assert int(obj) == value and type(int(obj)) is int
    assert obj == value and value == obj and not obj != value
    assert obj != value + 1
    assert bool(obj)
    with pytest.raises(TypeError):
        hash(obj)
    with pytest.raises(TypeError):
        operator.index(obj)


R = tt.RunMode


class Idx:
    def __index__(self):
        return 2


class BadIdx:
    def __index__(self):
        raise RuntimeError("never raised to the caller")


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (R.Live, 2, True),
        (2, R.Live, True),
        (R.Simulation, True, True),
        (R.Backtest, False, True),
        (R.Live, Idx(), True),
        (R.Live, BadIdx(), False),
        (R.Backtest, 0.0, False),
        (R.Live, 2.0, False),
        (R.Backtest, "Backtest", False),
        (R.Live, "Live", False),
        (R.Backtest, None, False),
        (R.Backtest, tt.TradeKind.Spot, False),
        (tt.OrderStatus.Canceled, tt.CandleInterval.Day1, False),
        (tt.TradeSide.Long, tt.TradeKind.Spot, False),
        (R.Live, 2**70, False),
        (R.Live, 2 + 2**8, False),
        (R.Live, 2 + 2**32, False),
        (R.Live, -2, False),
        (R.Live, -(2**70), False),
        (R.Live, R.Live, True),
        (R.Live, R.Backtest, False),
    ],
)
def test_equality_rule(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [R.Backtest, 1, 0.5])
def test_ordering_is_unsupported(op, other):
    with pytest.raises(TypeError):
        op(R.Live, other)


def test_derived_comparison_methods_follow_the_rule():
    assert R.Live.__eq__(2) is True
    assert R.Live.__ne__(2) is False
    assert R.Live.__lt__(R.Backtest) is NotImplemented
    assert R.Live.__eq__(2.0) is NotImplemented
    assert R.Live.__eq__(tt.TradeKind.Future) is NotImplemented


def test_unhashable_in_containers():
    with pytest.raises(TypeError):
        {R.Live}
    with pytest.raises(TypeError):
        [10, 20, 30][R.Live]


@pytest.mark.parametrize("cls_name", CATALOGUE)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((0,), {}), ((), {"value": 1})])
def test_construction_is_refused(cls_name, args, kwargs):
    cls = getattr(tt, cls_name)
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == f"No constructor defined for {cls_name}"
    with pytest.raises(TypeError):
        cls.__new__(cls)


@pytest.mark.parametrize("cls_name", CATALOGUE)
def test_subclassing_is_refused(cls_name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(tt, cls_name),), {})


def test_class_attributes_can_be_rebound():
    saved = tt.EventType.Tick
    try:
        tt.EventType.Tick = "rebound"
        assert tt.EventType.Tick == "rebound"
        assert repr(saved) == "EventType.Tick"
    finally:
        tt.EventType.Tick = saved


def test_repr_text_does_not_follow_a_renamed_class():
    cls = tt.TradeType
    try:
        cls.__name__ = "Renamed"
        assert repr(cls.Market) == "TradeType.Market"
    finally:
        cls.__name__ = "TradeType"
