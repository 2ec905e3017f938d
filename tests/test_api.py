"""The catalogue of the public names, in the order of __all__, and the shape of each class."""
import pytest

import tavik
import tavik.tavik as tt

ENUM, RECORD, FUNCTION = "enumeration", "record", "function"
CATALOGUE = [
    ("RunMode", ENUM, "运行模式", "Backtest Simulation Live"),
    ("TradeKind", ENUM, "交易品种", "Spot Future"),
    ("TradeType", ENUM, "交易类型", "Limit Market"),
    ("TradeSide", ENUM, "交易方向", "Long Short"),
    ("OrderStatus", ENUM, "订单状态", "Created Submitted PartialFilled Filled Canceled Rejected"),
    ("CandleInterval", ENUM, "K线周期", "Min1 Min5 Min15 Hour1 Day1"),
    ("EventType", ENUM, "事件类型", "Initialize Start Stop Daily Hourly Minutely Secondly Tick QuoteChange "
                                 "AccountChange PositionChange OrderChange"),
    ("Pair", RECORD, "交易对", "kind:交易品种 code:交易代码 base:基础货币 quote:计价货币 min_volume:最小下单数量 "
                              "min_price:最小下单价格 min_amount:最小下单金额"),
    ("Candle", RECORD, "K线", "kind:交易品种 code:交易代码 interval:K线周期 open_time:开盘时间 close_time:收盘时间 "
                              "open:开盘价 high:最高价 low:最低价 close:收盘价 volume:成交量 amount:成交额 trades:交易笔数"),
    ("Order", RECORD, "订单", "id:订单ID kind:交易品种 type:交易类型 side:交易方向 code:交易代码 status:订单状态 "
                              "volume:下单数量 price:下单价格 filled_volume:已成交数量 filled_price:已成交均价 "
                              "fee:交易手续费 create_time:下单时间"),
    ("Position", RECORD, "持仓", "kind:交易品种 code:交易代码 side:交易方向 volume:持仓数量 price:持仓均价 leverage:杠杆倍率"),
    ("safe_float", FUNCTION, "安全浮点数", "(value, decimals)"),
    ("truncate_to_day", FUNCTION, "截断日期到天", "(date)"),
    ("str_to_date", FUNCTION, "字符串转日期", "(s)"),
    ("date_to_str", FUNCTION, "日期转字符串", "(d)"),
    ("ms_to_date", FUNCTION, "时间戳转日期", "(ts)"),
    ("now_date", FUNCTION, "获取当前时间", "()"),
    ("now_ms", FUNCTION, "获取当前时间戳", "()"),
]
NOT_BASETYPE, HAVE_GC, IMMUTABLETYPE = 1 << 10, 1 << 14, 1 << 8


def test_all_is_the_catalogue_and_the_package_reexports_it():
    assert tt.__all__ == [name for name, *_ in CATALOGUE]
    assert tavik.__all__ == tt.__all__ and all(getattr(tavik, name) is getattr(tt, name) for name in tt.__all__)
    assert tt.__doc__ == ""


@pytest.mark.parametrize("name, kind, doc, detail", CATALOGUE, ids=[row[0] for row in CATALOGUE])
def test_catalogue(name, kind, doc, detail):
    obj = getattr(tt, name)
    assert obj.__doc__ == doc
    if kind == FUNCTION:
        assert (obj.__text_signature__, obj.__name__, obj.__self__, obj.__module__) == (detail, name, tt, "tavik.tavik")
        return
    # Classes: built in, final, not collected; Python may rebind their attributes.
    assert (obj.__module__, obj.__name__, obj.__qualname__, obj.__bases__) == ("builtins", name, name, (object,))
    assert obj.__flags__ & (NOT_BASETYPE | HAVE_GC | IMMUTABLETYPE) == 0
    if kind == ENUM:
        members = detail.split()
        assert [k for k, v in vars(obj).items() if type(v) is obj] == members
        for value, member in enumerate(members):
            m = getattr(obj, member)
            assert (repr(m), str(m), int(m), type(int(m))) == (f"{name}.{member}", f"{name}.{member}", value, int)
        assert obj.__hash__ is None and (obj.__basicsize__, obj.__itemsize__) == (object.__basicsize__ + 8, 0)
        return
    fields = [f.split(":") for f in detail.split()]
    descriptors = {k: v for k, v in vars(obj).items() if not k.startswith("__")}
    assert [(k, v.__doc__, v.__name__) for k, v in descriptors.items()] == [(f, d, f) for f, d in fields]
    assert set(vars(obj)) - set(descriptors) == {"__doc__", "__new__", "__module__"}  # no dict, no methods


def test_the_record_factory_refuses_a_look_alike_class(testing, monkeypatch):
    """A class of Pair's size bound in its place is never written into: its dealloc would release the
    record's text pointers as objects (a crash)."""
    look_alike = type("Pair", (), {"__slots__": tuple("abcdefghij"), "__module__": "builtins"})
    assert look_alike.__basicsize__ == tt.Pair.__basicsize__
    monkeypatch.setattr(tt, "Pair", look_alike)
    with pytest.raises(RuntimeError, match="tavik.tavik.Pair is not the record class this extension knows"):
        testing.make_pair(0, "BTCUSDT", "BTC", "USDT", 0.001, 0.01, 5.0)
