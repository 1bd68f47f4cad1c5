"""The members every IVI-Python driver has, against the simulator and in the driver's simulation:
the constructor and its options, ivi_utility, ivi_direct_io, collections by name, enumeration
and number, and the instrument's own words in the exceptions."""
import inspect
import time

import pytest

import korvane

MODEL = "MSO-CD1000"


@pytest.fixture
def ivi_scope(sim):
    with korvane.Scope(sim.resource, options={"cache": False}) as s:
        yield s


@pytest.fixture
def ivi_simulated():
    with korvane.Scope("", options={"simulate": True, "model": MODEL}) as s:
        yield s


@pytest.fixture(params=["simulator", "simulate"])
def any_scope(request):
    return request.getfixturevalue("ivi_scope" if request.param == "simulator" else "ivi_simulated")


def test_constructor_has_the_standard_parameters():
    params = inspect.signature(korvane.Scope).parameters
    assert [(n, p.default) for n, p in params.items()][:4] == [
        ("resource_name", ""), ("id_query", True), ("reset", False), ("options", None)]
    assert set(korvane.ScopeOptions.__annotations__) >= {"simulate", "cache", "range_check", "query_instrument_status",
                                                          "model", "driver_setup"}


@pytest.mark.parametrize("options, expected", [
    ({"simulate": True}, "Simulate=true"),
    ({"query_instrument_status": True, "range_check": False}, "QueryInstrStatus=true, RangeCheck=false"),
    ({"model": MODEL, "simulate": True, "trace_size_max": 5}, f"Simulate=true, DriverSetup= Model={MODEL}, TraceSizeMax=5"),
    ({"driver_setup": "IoLog=stderr", "io_log": "x.log"}, "DriverSetup= IoLog=x.log, IoLog=stderr"),
    ({"wait_mode": "Event", "cache": False}, "Cache=false, DriverSetup= WaitMode=Event"),
])
def test_options_become_the_drivers_option_string(options, expected):
    from korvane._ivi import option_string
    assert option_string(options) == expected


def test_bad_options_are_refused_before_the_driver(sim):
    cases = [({"simulte": True}, ValueError, "'simulte' is not an option"),
             ({"simulate": "yes"}, TypeError, "takes a bool"),
             ({"model": "A,B"}, ValueError, "cannot be passed"),
             ({"trace_name": ""}, ValueError, "cannot be passed")]
    for options, error, text in cases:
        with pytest.raises(error, match=text):
            korvane.Scope(sim.resource, options=options)
    with pytest.raises(ValueError, match="resource name is needed"):
        korvane.Scope("", options={"cache": True})
    # A driver's own refusal of a model still comes as its Error.
    with pytest.raises(korvane.Error, match="NO-SUCH-MODEL"):
        korvane.Scope("", options={"simulate": True, "model": "NO-SUCH-MODEL"})


def test_id_query_and_reset_reach_the_instrument(sim):
    with korvane.Scope(sim.resource) as scope:
        scope.timebase.horizontal_scale = 2e-3
    with korvane.Scope(sim.resource, id_query=False, reset=True) as scope:
        assert scope.timebase.horizontal_scale != pytest.approx(2e-3)


def test_identity(any_scope, request):
    u = any_scope.ivi_utility
    simulated = request.node.callspec.params["any_scope"] == "simulate"
    assert u.simulation_enabled is simulated
    assert u.driver_version.startswith(korvane.__version__ + ".")
    assert u.driver_vendor == u.instrument_manufacturer == "Veltrane Instruments"
    assert u.instrument_model == MODEL
    models = u.supported_instrument_models
    assert isinstance(models, tuple) and MODEL in models and "DSO-BR70-2CH" in models
    assert all(isinstance(m, str) and m == m.strip() and m for m in models)
    assert len(set(models)) == len(models) > 6
    if not simulated:
        # The instrument's own identification, field by field.
        manufacturer, model, serial, firmware = any_scope.ivi_direct_io.query("*IDN?").split(",")
        assert (u.instrument_manufacturer, u.instrument_model, u.instrument_serial_number, u.instrument_firmware) == \
            (manufacturer, model, serial, firmware)
    else:
        assert isinstance(u.instrument_serial_number, str)


def test_query_instrument_status_is_off_until_set(any_scope):
    u = any_scope.ivi_utility
    assert u.query_instrument_status_enabled is False
    u.query_instrument_status_enabled = True
    assert u.query_instrument_status_enabled is True
    u.query_instrument_status_enabled = False
    assert u.query_instrument_status_enabled is False


def test_error_queue_members(ivi_scope):
    u, io = ivi_scope.ivi_utility, ivi_scope.ivi_direct_io
    assert u.error_query() is None and u.error_query_all() == ()
    u.raise_on_device_error()  # nothing queued: nothing raised
    io.write_string("BOGUS:COMMand 1")
    io.write_string(":TIMebase:SCALe 1e9")
    io.write_string("BOGUS:COMMand 2")
    first = u.error_query()
    assert first == korvane.ErrorQueryResult(-113, "Undefined header") and first.code == -113
    assert u.error_query_all() == ((-222, "Data out of range"), (-113, "Undefined header"))
    assert u.error_query_all() == ()
    io.write_string(":TIMebase:SCALe 1e9")
    with pytest.raises(korvane.InstrumentError) as caught:
        u.raise_on_device_error()
    assert "-222 Data out of range" in str(caught.value)
    assert caught.value.instrument_errors == ((-222, "Data out of range"),)
    assert caught.value.code == 0x80047001
    assert u.error_query() is None  # raised means read


def test_error_queue_members_in_simulation(ivi_simulated):
    u = ivi_simulated.ivi_utility
    ivi_simulated.ivi_direct_io.write_string("BOGUS:COMMand 1")  # nothing is sent
    assert u.error_query() is None and u.error_query_all() == ()
    u.raise_on_device_error()


def test_reset(any_scope):
    any_scope.timebase.horizontal_scale = 2e-3
    any_scope.ivi_utility.reset()
    assert any_scope.timebase.horizontal_scale != pytest.approx(2e-3)


def test_direct_io(ivi_scope):
    io = ivi_scope.ivi_direct_io
    assert io.session == ivi_scope.vi != 0
    idn = io.query("*IDN?")
    assert idn.startswith("Veltrane Instruments," + MODEL + ",") and not idn.endswith("\n")
    io.write_string("*IDN?")
    head = io.read_bytes(9)
    assert head == b"Veltrane "
    assert head + io.read_string().rstrip("\n").encode() == idn.encode()  # the rest of that reply
    io.write_bytes(b"*IDN?\n")
    whole = b""
    while not whole.endswith(idn.encode()):
        whole += io.read_bytes(7)
        assert len(whole) <= len(idn)
    with pytest.raises(ValueError):
        io.read_bytes(-1)
    io.io_timeout_ms = 300
    assert io.io_timeout_ms == 300
    started = time.monotonic()
    with pytest.raises(korvane.Error, match="Timeout"):
        io.read_string()  # nothing was asked
    assert time.monotonic() - started < 5
    io.io_timeout_ms = 3000
    assert io.query("*OPC?") == "1"  # the session goes on


def test_direct_io_in_simulation(ivi_simulated):
    io = ivi_simulated.ivi_direct_io
    io.io_timeout_ms = 1500
    assert io.io_timeout_ms == 1500
    io.write_string("*IDN?")
    io.write_bytes(b"*IDN?\n")
    assert io.read_string() == "" and io.read_bytes(10) == b""


def test_collections_by_name_enum_and_number(any_scope):
    channels = any_scope.channels
    assert isinstance(channels, korvane.ChannelCollection)
    second = channels["Channel2"]
    assert isinstance(second, korvane.ChannelItem) and second.name == "Channel2"
    assert channels[korvane.ChannelName.CHANNEL2] is second
    assert channels[2] is second
    assert any_scope.channels_item(2) is second and any_scope.channels_item("Channel2") is second
    assert [c.name for c in channels.values()] == list(channels) == [f"Channel{k}" for k in range(1, 5)]
    second.offset = 0.125
    assert channels[2].offset == 0.125
    assert any_scope.measurements[korvane.MeasurementName.CHANNEL1].name == "Channel1"
    assert any_scope.math_functions[1].name == "Math1"
    digital = any_scope.digital_channels
    assert digital[0].name == "DigitalChannel0" and digital[korvane.DigitalChannelName.DIGITAL_POD2].name == "DigitalPod2"
    with pytest.raises(KeyError, match="valid names are Channel1, Channel2, Channel3, Channel4"):
        channels["Channel9"]
    with pytest.raises(KeyError, match="valid numbers are 1, 2, 3, 4"):
        channels[0]
    with pytest.raises(TypeError, match="indexed by a name"):
        channels[1.5]  # type: ignore[index]
    with pytest.raises(KeyError):
        any_scope.math_functions[korvane.MathFunctionName.MATH4]  # this model has two
    assert channels[1].offset is not None  # still usable


def test_a_smaller_model_refuses_names_it_lacks():
    with korvane.Scope("", options={"simulate": True, "model": "DSO-BR70-2CH"}) as scope:
        assert list(scope.channels) == ["Channel1", "Channel2"]
        with pytest.raises(KeyError, match="valid names are Channel1, Channel2"):
            scope.channels[korvane.ChannelName.CHANNEL3]
        with pytest.raises(KeyError):
            scope.channels_item(3)


def test_instrument_text_in_the_exception(sim):
    with korvane.Scope(sim.resource, options={"query_instrument_status": True}) as scope:
        with pytest.raises(korvane.InstrumentError) as caught:
            scope.timebase.horizontal_scale = 1e9
        assert isinstance(caught.value, korvane.Error) and caught.value.status == 0x80047001 - (1 << 32)
        assert "The instrument reports: -222 Data out of range" in str(caught.value)
        assert scope.ivi_utility.error_query() is None  # the exception took the entry


def test_legacy_names_still_work(sim):
    with korvane.Scope(simulate=True, options="DriverSetup= Model=" + MODEL) as scope:
        assert scope.ivi_utility.simulation_enabled and scope.identity.instrument_model == MODEL
    with korvane.Scope(sim.resource, options="QueryInstrStatus=true") as scope:
        assert scope.ivi_utility.query_instrument_status_enabled is True
        assert scope.error_query().error_code == 0
