from datetime import datetime
from typing import ClassVar, NoReturn, SupportsFloat, SupportsIndex, final

__all__ = [
    "RunMode",
    "TradeKind",
    "TradeType",
    "TradeSide",
    "OrderStatus",
    "CandleInterval",
    "EventType",
    "Pair",
    "Candle",
    "Order",
    "Position",
    "safe_float",
    "truncate_to_day",
    "str_to_date",
    "date_to_str",
    "ms_to_date",
    "now_date",
    "now_ms",
]

@final
class RunMode:
    """Run mode: how the framework runs a strategy.

    Members are class attributes numbered from 0; int(m) gives the number. Members compare equal to members of
    the same class and to ints of the same value, are unhashable and unordered: key dicts by int(m)."""

    Backtest: ClassVar[RunMode]
    """Backtest: a run over historical data. Value 0."""
    Simulation: ClassVar[RunMode]
    """Simulation: a simulated run. Value 1."""
    Live: ClassVar[RunMode]
    """Live trading. Value 2."""
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class TradeKind:
    """Kind of traded instrument. Members are numbered from 0; int(m) gives the number; unhashable."""

    Spot: ClassVar[TradeKind]
    """Spot instrument. Value 0."""
    Future: ClassVar[TradeKind]
    """Futures contract. Value 1."""
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class TradeType:
    """Order type. Members are numbered from 0; int(m) gives the number; unhashable."""

    Limit: ClassVar[TradeType]
    """Limit order. Value 0."""
    Market: ClassVar[TradeType]
    """Market order. Value 1."""
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class TradeSide:
    """Trade direction. Members are numbered from 0; int(m) gives the number; unhashable."""

    Long: ClassVar[TradeSide]
    """Long: the buying side. Value 0."""
    Short: ClassVar[TradeSide]
    """Short: the selling side. Value 1."""
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class OrderStatus:
    """Order status, in the order's life cycle. Members are numbered from 0; int(m) gives the number;
    unhashable."""

    Created: ClassVar[OrderStatus]
    """Created, not yet submitted. Value 0."""
    Submitted: ClassVar[OrderStatus]
    """Submitted. Value 1."""
    PartialFilled: ClassVar[OrderStatus]
    """Partly filled. Value 2."""
    Filled: ClassVar[OrderStatus]
    """Filled. Value 3."""
    Canceled: ClassVar[OrderStatus]
    """Canceled. Value 4."""
    Rejected: ClassVar[OrderStatus]
    """Rejected. Value 5."""
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class CandleInterval:
    """Candle period. Members are numbered from 0 by position: the values are not minutes."""

    Min1: ClassVar[CandleInterval]
    """One minute. Value 0."""
    Min5: ClassVar[CandleInterval]
    """Five minutes. Value 1."""
    Min15: ClassVar[CandleInterval]
    """Fifteen minutes. Value 2 (a position, not 15)."""
    Hour1: ClassVar[CandleInterval]
    """One hour. Value 3."""
    Day1: ClassVar[CandleInterval]
    """One day. Value 4."""
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class EventType:
    """Event type: the events the framework delivers. Members are numbered from 0; int(m) gives the number;
    unhashable."""

    Initialize: ClassVar[EventType]
    """Initialization event. Value 0."""
    Start: ClassVar[EventType]
    """Start event. Value 1."""
    Stop: ClassVar[EventType]
    """Stop event. Value 2."""
    Daily: ClassVar[EventType]
    """Daily event. Value 3."""
    Hourly: ClassVar[EventType]
    """Hourly event. Value 4."""
    Minutely: ClassVar[EventType]
    """Minutely event. Value 5."""
    Secondly: ClassVar[EventType]
    """Secondly event. Value 6."""
    Tick: ClassVar[EventType]
    """Tick event. Value 7."""
    QuoteChange: ClassVar[EventType]
    """Quote change event. Value 8."""
    AccountChange: ClassVar[EventType]
    """Account change event. Value 9."""
    PositionChange: ClassVar[EventType]
    """Position change event. Value 10."""
    OrderChange: ClassVar[EventType]
    """Order change event. Value 11."""
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Pair:
    """Trading pair: an instrument and the smallest order its market accepts.

    Built by the framework's native code: read-only, and Python cannot construct it."""

    @property
    def kind(self) -> TradeKind:
        """Instrument kind."""

    @property
    def code(self) -> str:
        """Trading code."""

    @property
    def base(self) -> str:
        """Base currency."""

    @property
    def quote(self) -> str:
        """Quote (pricing) currency."""

    @property
    def min_volume(self) -> float:
        """Minimum order quantity."""

    @property
    def min_price(self) -> float:
        """Minimum order price."""

    @property
    def min_amount(self) -> float:
        """Minimum order amount."""


@final
class Candle:
    """Candle: one bar of a price chart.

    Built by the framework's native code: read-only, and Python cannot construct it."""

    @property
    def kind(self) -> TradeKind:
        """Instrument kind."""

    @property
    def code(self) -> str:
        """Trading code."""

    @property
    def interval(self) -> CandleInterval:
        """Candle period."""

    @property
    def open_time(self) -> datetime:
        """Opening time, a UTC datetime."""

    @property
    def close_time(self) -> datetime:
        """Closing time, a UTC datetime."""

    @property
    def open(self) -> float:
        """Opening price."""

    @property
    def high(self) -> float:
        """Highest price."""

    @property
    def low(self) -> float:
        """Lowest price."""

    @property
    def close(self) -> float:
        """Closing price."""

    @property
    def volume(self) -> float:
        """Traded volume."""

    @property
    def amount(self) -> float:
        """Traded amount."""

    @property
    def trades(self) -> int:
        """Number of trades."""


@final
class Order:
    """Order.

    Built by the framework's native code: read-only, and Python cannot construct it. Each read of an
    enumeration field gives a new member equal to (==), not identical to, the class attribute."""

    @property
    def id(self) -> str:
        """Order identifier."""

    @property
    def kind(self) -> TradeKind:
        """Instrument kind."""

    @property
    def type(self) -> TradeType:
        """Order type."""

    @property
    def side(self) -> TradeSide:
        """Trade direction."""

    @property
    def code(self) -> str:
        """Trading code."""

    @property
    def status(self) -> OrderStatus:
        """Order status."""

    @property
    def volume(self) -> float:
        """Ordered quantity."""

    @property
    def price(self) -> float:
        """Order price."""

    @property
    def filled_volume(self) -> float:
        """Quantity filled so far."""

    @property
    def filled_price(self) -> float:
        """Average price of the fills."""

    @property
    def fee(self) -> float:
        """Trading fee."""

    @property
    def create_time(self) -> datetime:
        """Time the order was placed, a UTC datetime."""


@final
class Position:
    """Position: a holding in one instrument.

    Built by the framework's native code: read-only, and Python cannot construct it."""

    @property
    def kind(self) -> TradeKind:
        """Instrument kind."""

    @property
    def code(self) -> str:
        """Trading code."""

    @property
    def side(self) -> TradeSide:
        """Direction of the position."""

    @property
    def volume(self) -> float:
        """Quantity held."""

    @property
    def price(self) -> float:
        """Average price of the position."""

    @property
    def leverage(self) -> int:
        """Leverage multiple."""


def safe_float(value: SupportsFloat | SupportsIndex, decimals: SupportsIndex) -> NoReturn:
    """Safe floating-point number: a placeholder of the framework that never returns.

    It checks its arguments (value a real number, decimals an integer from 0 to 4294967295), then always
    raises SystemError "not yet implemented" and writes a report to standard error."""

def truncate_to_day(date: datetime) -> datetime:
    """Truncate a date to the day: the start (00:00:00) of the UTC day of `date`, before 1970 too.

    `date` must be in datetime.timezone.utc (or another zero-offset datetime.timezone): TypeError if naive,
    ValueError for any other tzinfo. RuntimeError outside 1677-09-21 00:12:43.145225 to
    2262-04-11 23:47:16.854775 UTC."""

def str_to_date(s: str) -> datetime:
    """String to date: RFC 3339 text to a UTC datetime; the text's offset is applied, then dropped.

    "YYYY-MM-DD", "T", "t" or a space, "hh:mm:ss", an optional fraction (cut to microseconds, never rounded),
    then "Z", "z" or "+hh:mm"/"-hh:mm". Bad text raises RuntimeError; a valid text whose UTC year is outside
    1-9999 raises ValueError. A leap second (second 60) reads as second 59, with a UserWarning."""

def date_to_str(d: datetime) -> str:
    """Date to string: a UTC datetime to RFC 3339 text, offset "+00:00", fraction of 0, 3 or 6 digits.

    `d` must be in datetime.timezone.utc (or another zero-offset datetime.timezone): TypeError if naive,
    ValueError for any other tzinfo; convert with d.astimezone(timezone.utc) first."""

def ms_to_date(ts: SupportsIndex) -> datetime:
    """Timestamp to date: Unix milliseconds to a UTC datetime, by floor division (negative is before 1970).

    RuntimeError beyond the years -262143 to 262142, ValueError outside datetime's years 1-9999,
    OverflowError beyond 64 bits."""

def now_date() -> datetime:
    """Get the current time: the real-time clock as a UTC datetime, rounded down to the microsecond.

    Not monotonic: it jumps when the system time is set."""

def now_ms() -> int:
    """Get the current timestamp: the real-time clock as whole Unix milliseconds, rounded down.

    Not monotonic: it jumps when the system time is set."""
