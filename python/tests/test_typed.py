"""DexHand, the typed client, against simulated hands: numpy results, the
exceptions of each status, the many-hands calls and the context manager."""
import numpy as np
import pytest

import tessaro_dexhand as td
from conftest import HANDS, SLOW, SLOW_KIND, ip_of
from sim_process import wait_for

Op = td.Operation
KINDS = {kind.name: kind for kind in td.kinds()}


def hold(kind):
    return [kind.hold_value] * kind.joints


FLOAT_READS = {Op.READ_POSITIONS: "positions", Op.READ_VELOCITIES: "velocities", Op.READ_CURRENTS: "currents"}

served_reads = [pytest.param(k, op, id=f"{k}-{name}")
                for k in HANDS.values() for op, name in FLOAT_READS.items() if KINDS[k].serves(op)]
kinds = pytest.mark.parametrize("kind", list(HANDS.values()))


@pytest.mark.parametrize("kind,operation", served_reads)
def test_served_reads_are_float32_arrays_of_one_value_per_joint(hands, kind, operation):
    values = getattr(hands, FLOAT_READS[operation])(ip_of(kind))
    assert isinstance(values, np.ndarray)
    assert (values.dtype, values.shape) == (np.float32, (KINDS[kind].joints,))


def test_tactile_matrix_is_a_2d_uint8_array_of_the_kinds_row_width(hands):
    matrix = hands.tactile(ip_of("qmhv2"))  # the one kind with a tactile matrix
    assert matrix.dtype == np.uint8 and matrix.ndim == 2
    assert matrix.shape[0] > 0 and matrix.shape[1] == KINDS["qmhv2"].tactile_row_bytes


@kinds
def test_set_positions_takes_a_numpy_array_and_reaches_it(hands, kind):
    info = KINDS[kind]
    target = np.linspace(info.position_min, info.position_max, info.joints, dtype=np.float32)
    hands.set_positions(ip_of(kind), target)
    wait_for(lambda: np.allclose(hands.positions(ip_of(kind)), target, atol=1e-3), timeout=5, what="the targets")


UNKNOWN = "192.168.137.77"
OUTSIDE = [KINDS["qmhv2"].position_max + 1] * KINDS["qmhv2"].joints


# That a refused move sends nothing, and which kinds serve what, are
# operations_test's (EachKind); here, each status's exception from each sort of call.
@pytest.mark.parametrize("call,error,base,status,address,reason", [
    pytest.param(lambda h: h.positions(SLOW), td.HandTimeout, TimeoutError, td.Status.TIMEOUT, SLOW, "",
                 id="silent"),
    pytest.param(lambda h: h.positions(UNKNOWN), td.UnknownHand, LookupError, td.Status.UNKNOWN_HAND, UNKNOWN, "",
                 id="unknown"),
    pytest.param(lambda h: h.set_positions(ip_of("qmhv2"), OUTSIDE), td.InvalidArgument, ValueError,
                 td.Status.INVALID_ARGUMENT, ip_of("qmhv2"), "outside", id="outside"),
    pytest.param(lambda h: h.velocities(ip_of("qmhv2")), td.NotServed, td.DexHandError, td.Status.NOT_SERVED,
                 ip_of("qmhv2"), "", id="unserved-read"),
    pytest.param(lambda h: h.enable(ip_of("qmhv1")), td.NotServed, td.DexHandError, td.Status.NOT_SERVED,
                 ip_of("qmhv1"), "", id="unserved-command"),
    pytest.param(lambda h: h.calibrate(ip_of("QSH")), td.NotServed, td.DexHandError, td.Status.NOT_SERVED,
                 ip_of("QSH"), "", id="unserved-calibration"),
])
def test_a_call_that_fails_raises_the_exception_of_its_status(hands, call, error, base, status, address, reason):
    with pytest.raises(error) as raised:
        call(hands)
    assert isinstance(raised.value, base) and reason in str(raised.value)
    assert (raised.value.status, raised.value.address) == (status, address)


@kinds
def test_state_gives_each_served_part_and_marks_the_others_not_served(hands, kind):
    info = KINDS[kind]
    state = hands.state(ip_of(kind))
    parts = {Op.READ_POSITIONS: state.positions_status, Op.READ_VELOCITIES: state.velocities_status,
             Op.READ_CURRENTS: state.currents_status, Op.READ_ERROR_CODES: state.error_codes_status}
    assert parts == {op: td.Status.OK if info.serves(op) else td.Status.NOT_SERVED for op in parts}
    assert state.positions.dtype == np.float32 and state.positions.shape == (info.joints,)


def test_all_positions_gives_each_hand_its_own_status(hands):
    readings = hands.all_positions()
    assert [(r.address, r.status, r.ok) for r in readings] == [
        (h.address, td.Status.TIMEOUT, False) if h.address == SLOW else (h.address, td.Status.OK, True)
        for h in hands.hands()]
    positions = {r.address: r.positions for r in readings}
    assert positions[SLOW] is None
    assert (positions[ip_of("QSH")].dtype, positions[ip_of("QSH")].shape) == (np.float32, (6,))


def test_many_positions_reports_bad_addresses_in_place_without_raising(hands):
    readings = hands.many_positions([UNKNOWN, ip_of("qmhv2"), "no address"])
    assert [r.status for r in readings] == [td.Status.UNKNOWN_HAND, td.Status.OK, td.Status.INVALID_ARGUMENT]


def test_set_many_positions_gives_a_status_per_hand(hands):
    qmhv2, qmhv1 = KINDS["qmhv2"], KINDS["qmhv1"]
    statuses = hands.set_many_positions(
        [ip_of("qmhv2"), ip_of("qmhv1"), UNKNOWN],
        [hold(qmhv2), [qmhv1.position_max + 1] * qmhv1.joints, hold(qmhv1)])
    assert statuses == [td.Status.OK, td.Status.INVALID_ARGUMENT, td.Status.UNKNOWN_HAND]


def test_calibration_reports_progress_until_it_finishes(hands):
    seen = []
    hands.calibrate(ip_of("qmhv2"), seen.append)
    assert seen and all(p.address == ip_of("qmhv2") for p in seen)
    assert [p.finished for p in seen] == [False] * (len(seen) - 1) + [True]
    assert seen[-1].status == td.Status.OK


def test_exception_in_progress_callback_is_raised_after_the_calibration(hands):
    calls = []

    def progress(at):
        calls.append(at)
        raise KeyError("stop")

    with pytest.raises(KeyError):
        hands.calibrate(ip_of("qmhv2"), progress)
    assert len(calls) == 1


def test_with_block_discovers_every_hand_with_its_kind_and_closes_on_exit(simulator):
    with td.DexHand() as client:
        assert {hand.address: hand.kind for hand in client} == {**HANDS, SLOW: SLOW_KIND}
        assert all(hand.kind_info.name == hand.kind for hand in client)
    assert client.closed
    with pytest.raises(ValueError, match="closed"):
        client.positions(ip_of("qmhv2"))


def test_integer_call_on_dexhand_names_the_legacy_client():
    with pytest.raises(AttributeError, match="LegacyDexHand"):
        td.DexHand().get_pos  # noqa: B018
