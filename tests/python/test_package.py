"""The korvane package against the simulator and in the driver's simulation: attribute types,
repeated capabilities, waveforms, errors, the session's life."""
import inspect
import os
import re
import subprocess
import sys

import numpy
import pytest

import korvane

INVALID_SESSION = 0x80070006 - (1 << 32)  # KVSCOPE_ERROR_INVALID_SESSION

ROUND_TRIPS = [
    # (path from the scope, value, what reads back)
    ("timebase.horizontal_scale", 2e-4, 2e-4),
    ("channels['Channel2'].offset", -0.25, -0.25),
    ("channels['Channel1'].enabled", False, False),
    ("channels['Channel1'].enabled", 1, True),
    ("channels['Channel3'].label", "probe A", "probe A"),
    ("acquisition.number_of_points_min", 2000, 2000),
    ("fft.average_count", 8, 8),  # 64-bit
    ("trigger.edge.slope", korvane.IviScopeTriggerSlope.NEGATIVE, korvane.IviScopeTriggerSlope.NEGATIVE),
    ("trigger.edge.slope", "positive", korvane.IviScopeTriggerSlope.POSITIVE),
    ("trigger.edge.slope", 0, korvane.IviScopeTriggerSlope.NEGATIVE),
]


def resolve(scope, path):
    owner, name = path.rsplit(".", 1)
    return eval("s." + owner, {"s": scope}), name


@pytest.mark.parametrize("mode", ["simulator", "simulate"])
def test_attributes_of_every_type_round_trip(request, mode):
    scope = request.getfixturevalue("scope" if mode == "simulator" else "simulated")
    for path, value, expected in ROUND_TRIPS:
        owner, name = resolve(scope, path)
        setattr(owner, name, value)
        got = getattr(owner, name)
        assert got == expected and type(got) is type(expected), (path, got)


def test_values_python_cannot_mean_are_refused_before_the_driver(simulated):
    ch = simulated.channels["Channel1"]
    cases = [
        (lambda: setattr(ch, "offset", "high"), ValueError),
        (lambda: setattr(simulated.acquisition, "number_of_points_min", 2.5), TypeError),
        (lambda: setattr(ch, "label", 5), TypeError),
        (lambda: setattr(simulated.trigger.edge, "slope", "sideways"), ValueError),
        (lambda: setattr(simulated.acquisition, "record_length", 5), AttributeError),  # read-only
        (lambda: setattr(ch, "offfset", 0.1), AttributeError),  # a typo is no new attribute
        (lambda: setattr(simulated, "trigger", 1), AttributeError),
        (lambda: ch.read_waveform(points=-1), ValueError),
        (lambda: ch.read_waveform(out=numpy.empty(10, numpy.float32)), ValueError),
    ]
    for action, error in cases:
        with pytest.raises(error):
            action()
    assert simulated.identity.instrument_model == "MSO-CD1000"  # still usable


def test_repeated_capabilities_are_mappings(scope):
    channels = scope.channels
    assert len(channels) == 4
    assert list(channels) == ["Channel1", "Channel2", "Channel3", "Channel4"]
    assert "Channel2" in channels and "Channel9" not in channels
    with pytest.raises(KeyError, match="valid names are Channel1, Channel2, Channel3, Channel4"):
        channels["Channel9"]
    channels["Channel1"].offset, channels["Channel2"].offset = 0.1, -0.2
    assert {n: c.offset for n, c in channels.items() if n in ("Channel1", "Channel2")} == \
        {"Channel1": 0.1, "Channel2": -0.2}
    assert channels["Channel1"] is channels["Channel1"]
    assert len(scope.measurements) >= 4 and "Channel1" in scope.measurements


def test_waveform_is_the_simulators_sine(scope):
    scope.timebase.horizontal_scale = 2e-4
    wf = scope.channels["Channel1"].read_waveform(points=2000)
    assert isinstance(wf.y, numpy.ndarray) and wf.y.dtype == numpy.float64
    assert len(wf) == len(wf.t) == 2000 and wf.dx > 0
    assert wf.t[1] - wf.t[0] == pytest.approx(wf.dx)
    # 1 kHz, 0.5 V peak, zero phase at t = 0.
    expected = 0.5 * numpy.sin(2 * numpy.pi * 1e3 * wf.t)
    assert numpy.max(numpy.abs(wf.y - expected)) < 0.01


def test_waveform_lands_in_the_callers_array(scope):
    buffer = numpy.full(3000, numpy.nan)
    ch = scope.channels["Channel1"]
    scope.waveform.point_count = 3000
    ch.read_waveform(points=10)
    wf = ch.fetch_waveform(out=buffer)  # the point count is the array's
    assert numpy.shares_memory(wf.y, buffer) and len(wf) == 3000
    assert not numpy.isnan(buffer).any()
    # Without a count the whole record comes.
    assert len(ch.fetch_waveform()) == scope.acquisition.record_length
    # A record longer than the caller's array: its first points, in that array.
    short = numpy.full(50, numpy.nan)
    first = ch.fetch_waveform(out=short)
    assert numpy.shares_memory(first.y, short) and len(first) == 50 and numpy.array_equal(short, buffer[:50])


def test_instrument_refusal_is_an_error_with_its_text(scope):
    scope.timebase.horizontal_scale = 5e-4
    with pytest.raises(korvane.Error) as caught:
        scope.timebase.horizontal_scale = 1e9
    e = caught.value
    assert e.code == 0x80047001 and e.status < 0
    assert re.search(r"-222 Data out of range", str(e)), str(e)
    assert e.instrument_errors[0][0] == -222
    # The session goes on, the refused value kept out.
    assert scope.timebase.horizontal_scale == 5e-4
    assert scope.error_query().error_code == 0


def test_driver_errors_carry_status_and_description(sim):
    with pytest.raises(korvane.Error) as caught:
        korvane.Scope("TCPIP0::127.0.0.1::1::SOCKET")
    assert caught.value.status < 0
    assert "Connection refused" in caught.value.description
    with pytest.raises(korvane.Error, match="Korvane"):
        korvane.Scope("NOT::A::RESOURCE")


def test_simulation_needs_no_instrument(simulated):
    assert simulated.identity.instrument_model == "MSO-CD1000"
    assert simulated.driver_operation.simulate is True
    wf = simulated.channels["Channel1"].read_waveform(points=500)
    assert 0 < len(wf) <= 500
    # A text longer than the first buffer comes whole (the driver gives the size it needs).
    simulated.channels["Channel1"].label = "x" * 300 + "é"
    assert simulated.channels["Channel1"].label == "x" * 300 + "é"
    # A simulated record is as long as the simulated acquisition says.
    assert len(simulated.channels["Channel2"].fetch_waveform()) == simulated.acquisition.record_length > 1
    with pytest.raises(korvane.Error, match="GetNextCoercionRecord"):
        simulated.get_next_coercion_record()  # the driver keeps no records: its own error
    rev = simulated.revision_query()
    assert rev.driver_revision == korvane.__version__ + ".0" and rev == (rev.driver_revision, rev.instrument_revision)
    result = simulated.self_test()
    assert result.test_result == 0


def test_context_manager_closes_the_session(sim):
    with korvane.Scope(sim.resource) as scope:
        vi = scope.vi
        assert vi and not scope.closed
    assert scope.closed and scope.vi == 0
    with pytest.raises(korvane.Error):
        scope.timebase.horizontal_scale
    scope.close()  # twice: nothing
    # The driver's handle is gone too, also when the block ends in an exception.
    lib = scope._s.lib
    assert lib.KVScope_close(vi) == INVALID_SESSION
    with pytest.raises(RuntimeError):
        with korvane.Scope(sim.resource) as scope:
            vi = scope.vi
            raise RuntimeError("stop")
    assert scope.closed and lib.KVScope_close(vi) == INVALID_SESSION


def test_help_comes_from_the_catalogue(simulated):
    ch = type(simulated.channels["Channel1"])
    assert "KORVANE_ATTR_VERTICAL_OFFSET" in ch.offset.__doc__
    assert "Values: AC=0, DC=1" in ch.coupling.__doc__
    params = inspect.signature(ch.read_waveform).parameters
    assert list(params)[1:] == ["points", "max_time_milliseconds", "out"]
    # The class interface and the driver's both have a trigger type; the driver's is driver_type.
    assert "KORVANE_ATTR_DRIVER_TRIGGER_TYPE" in type(simulated.trigger).driver_type.__doc__


def test_readme_example_runs(sim):
    readme = os.path.join(os.environ["KORVANE_SOURCE_DIR"], "README.md")
    with open(readme, encoding="utf-8") as f:
        text = f.read().split("## Using the driver from Python", 1)[1]
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    assert len(code.strip().splitlines()) <= 12
    p = subprocess.run([sys.executable, "-c", code, sim.resource], capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    assert abs(float(re.search(r"([\d.]+) Hz", p.stdout).group(1)) - 1e3) < 20, p.stdout


def test_csv_and_svg_are_the_tools(scope, sim, tmp_path):
    from korvane._plot import csv_text, svg_text
    scope.timebase.horizontal_scale = 2e-4
    scope.waveform.point_count = 300
    traces = [("Channel1", scope.channels["Channel1"].read_waveform(points=300)),
              ("Channel2", scope.channels["Channel2"].fetch_waveform(points=300))]
    p = subprocess.run([os.environ["KORVANE_CLI"], "fetch", sim.resource, "--channel", "Channel1,Channel2",
                        "--points", "300", "--csv", str(tmp_path / "w.csv"), "--svg", str(tmp_path / "w.svg")],
                       capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    assert (tmp_path / "w.csv").read_text() == csv_text(traces)
    tool_svg = (tmp_path / "w.svg").read_text(encoding="utf-8")
    title = re.search(r"<title>(.*?)</title>", tool_svg).group(1).replace("&amp;", "&")
    assert tool_svg == svg_text(traces, title)


def test_one_session_shared_by_threads(scope):
    import threading
    errors = []

    def work(k):
        try:
            ch = scope.channels[f"Channel{k + 1}"]
            for j in range(50):
                ch.offset = j * 0.01
                assert abs(ch.offset - j * 0.01) < 1e-9
                assert len(ch.fetch_waveform(points=100)) > 0 if j % 10 == 0 else True
        except Exception as e:  # noqa: BLE001  (reported below)
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors and not any(t.is_alive() for t in threads), errors


def test_text_longer_than_the_first_buffer(simulated):
    ch = simulated.channels["Channel1"]
    ch.label = "x" * 300 + "\u00b5"
    assert ch.label == "x" * 300 + "\u00b5"
