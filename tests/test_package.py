"""Copying and pickling, which the package sets up: members come back as the member objects of their class,
records as themselves, and a record refuses pickling."""
import copy
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import tavik

ENUMS = ["RunMode", "TradeKind", "TradeType", "TradeSide", "OrderStatus", "CandleInterval", "EventType"]
MEMBERS = [(cls, k) for cls in ENUMS for k, v in vars(getattr(tavik, cls)).items() if type(v) is getattr(tavik, cls)]
READ = [("TradeKind", "Future"), ("TradeType", "Market"), ("TradeSide", "Short"), ("OrderStatus", "PartialFilled")]


def _member(case):
    return vars(getattr(tavik, case[0]))[case[1]]


@pytest.fixture
def records(testing):
    order = testing.make_order("o-1", 1, 1, 1, "BTC/USDT", 2, 1.5, 2.0, 0.5, 2.0, 0.0, (2024, 1, 2, 0, 0))
    return {"Order": order, "Pair": testing.make_pair(0, "ETH/USDT", "ETH", "USDT", 0.1, 0.01, 5.0),
            "Candle": testing.make_candle(0, "ETH", 4, (2024, 1, 2, 0, 0), (2024, 1, 3, 0, 0), 1, 2, 0.5, 1.5, 9, 9, 3),
            "Position": testing.make_position(1, "ETH", 0, 1.5, 2.0, 3)}


def _instances(records):  # every member object, then instances read from a record (distinct, equal objects)
    order = records["Order"]
    return MEMBERS + READ, [_member(case) for case in MEMBERS] + [order.kind, order.type, order.side, order.status]


def _identical_in_worker(cases, instances):
    return instances, [instance is _member(case) for case, instance in zip(cases, instances)]


def test_members_pickle_onto_the_member_objects_through_a_spawned_worker(records):
    cases, instances = _instances(records)
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        back, in_worker = pool.submit(_identical_in_worker, cases, instances).result(timeout=120)
    assert [case for case, same in zip(cases, in_worker) if not same] == []
    assert [case for case, instance in zip(cases, back) if instance is not _member(case)] == []


def test_copies_are_the_member_objects_and_the_records_themselves(records):
    cases, instances = _instances(records)
    for copier in copy.copy, copy.deepcopy:
        assert [case for case, instance in zip(cases, instances) if copier(instance) is not _member(case)] == []
        assert [name for name, record in records.items() if copier(record) is not record] == []


def test_a_record_refuses_pickling_with_a_message_that_says_why(records):
    for name, record in records.items():
        with pytest.raises(TypeError) as error:
            pickle.dumps({"config": [record]})
        assert str(error.value) == f"cannot pickle {name!r} object: records are built by native code " \
                                   "and cannot be rebuilt from Python"
