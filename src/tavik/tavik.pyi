from typing import ClassVar, SupportsFloat, SupportsIndex, final

__all__ = [
    "RunMode",
    "TradeKind",
    "TradeType",
    "TradeSide",
    "OrderStatus",
    "CandleInterval",
    "EventType",
    "safe_float",
]

@final
class RunMode:
    """运行模式"""

    Backtest: ClassVar[RunMode]
    Simulation: ClassVar[RunMode]
    Live: ClassVar[RunMode]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class TradeKind:
    """交易品种"""

    Spot: ClassVar[TradeKind]
    Future: ClassVar[TradeKind]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class TradeType:
    """交易类型"""

    Limit: ClassVar[TradeType]
    Market: ClassVar[TradeType]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class TradeSide:
    """交易方向"""

    Long: ClassVar[TradeSide]
    Short: ClassVar[TradeSide]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class OrderStatus:
    """订单状态"""

    Created: ClassVar[OrderStatus]
    Submitted: ClassVar[OrderStatus]
    PartialFilled: ClassVar[OrderStatus]
    Filled: ClassVar[OrderStatus]
    Canceled: ClassVar[OrderStatus]
    Rejected: ClassVar[OrderStatus]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class CandleInterval:
    """K线周期"""

    Min1: ClassVar[CandleInterval]
    Min5: ClassVar[CandleInterval]
    Min15: ClassVar[CandleInterval]
    Hour1: ClassVar[CandleInterval]
    Day1: ClassVar[CandleInterval]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class EventType:
    """事件类型"""

    Initialize: ClassVar[EventType]
    Start: ClassVar[EventType]
    Stop: ClassVar[EventType]
    Daily: ClassVar[EventType]
    Hourly: ClassVar[EventType]
    Minutely: ClassVar[EventType]
    Secondly: ClassVar[EventType]
    Tick: ClassVar[EventType]
    QuoteChange: ClassVar[EventType]
    AccountChange: ClassVar[EventType]
    PositionChange: ClassVar[EventType]
    OrderChange: ClassVar[EventType]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

def safe_float(value: SupportsFloat | SupportsIndex, decimals: SupportsIndex) -> float:
    """安全浮点数"""
