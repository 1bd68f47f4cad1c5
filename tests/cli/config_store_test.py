"""korvane with the IVI configuration store: `korvane config` lists the logical names, and a
logical name opens a session wherever a resource goes.

Usage: config_store_test.py <korvane> <korvane-scope-sim>
"""
import os
import subprocess
import sys
import tempfile
import unittest

KORVANE = SIM = None

STORE = """<?xml version="1.0" encoding="utf-8"?>
<IviConfigStore>
  <SoftwareModules><IviSoftwareModule id="m"><Name>Korvane</Name></IviSoftwareModule></SoftwareModules>
  <HardwareAssets>
    <IviHardwareAsset id="a"><Name>Bench</Name><IOResourceDescriptor>{resource}</IOResourceDescriptor></IviHardwareAsset>
  </HardwareAssets>
  <DriverSessions>
    <IviDriverSession id="s"><Name>BenchSession</Name><SoftwareModule idref="m"/><HardwareAsset idref="a"/>
      <Simulate>false</Simulate></IviDriverSession>
    <IviDriverSession id="u"><Name>TunedSession</Name><SoftwareModule idref="m"/><HardwareAsset idref="a"/>
      <Simulate>false</Simulate>
      <DataComponents><IviStructure><Name>Configurable Initial Settings</Name><DataComponents>
        <IviReal><Name>Channels.Item(Channel1).Offset</Name><Value>0.25</Value></IviReal>
        <IviString><Name>Acquisition.Type</Name><Value>{acquisition_type}</Value></IviString>
      </DataComponents></IviStructure></DataComponents></IviDriverSession>
    <IviDriverSession id="t"><Name>DeskSession</Name><SoftwareModule idref="m"/><Simulate>true</Simulate>
      <DriverSetup>Model=MSO-CD1000</DriverSetup></IviDriverSession>
  </DriverSessions>
  <LogicalNames>
    <IviLogicalName><Name>BenchScope</Name><Session idref="s"/></IviLogicalName>
    <IviLogicalName><Name>TunedScope</Name><Session idref="u"/></IviLogicalName>
    <IviLogicalName><Name>DeskScope</Name><Session idref="t"/></IviLogicalName>
  </LogicalNames>
</IviConfigStore>
"""


def run(store, *args):
    env = dict(os.environ, KORVANE_CONFIG_STORE=store, HOME=os.path.dirname(store))
    env.pop("XDG_CONFIG_HOME", None)
    p = subprocess.run([KORVANE, *args], capture_output=True, text=True, timeout=60, env=env)
    return p.returncode, p.stdout, p.stderr


class ConfigStore(unittest.TestCase):
    def setUp(self):
        self.sim = subprocess.Popen([SIM, "--port", "0", "--model", "MSO-CD1000"], stdout=subprocess.PIPE, text=True)
        line = self.sim.stdout.readline()
        self.assertTrue(line.startswith("listening on 127.0.0.1:"), line)
        self.resource = f"TCPIP0::127.0.0.1::{int(line.split(':')[1].split()[0])}::SOCKET"
        self.dir = tempfile.TemporaryDirectory()
        self.store = os.path.join(self.dir.name, "store.xml")
        with open(self.store, "w") as f:
            f.write(STORE.format(resource=self.resource, acquisition_type="Average"))

    def tearDown(self):
        self.sim.terminate()
        self.sim.wait(timeout=10)
        self.sim.stdout.close()
        self.dir.cleanup()

    def test_config_lists_the_logical_names(self):
        rc, out, err = run(self.store, "config")
        self.assertEqual(rc, 0, err)
        self.assertIn(self.store, out)
        self.assertRegex(out, r"BenchScope\s+BenchSession\s+" + self.resource.replace(".", r"\."))
        self.assertRegex(out, r"DeskScope\s+DeskSession\s+\(simulated\)")

    def test_a_logical_name_is_a_resource(self):
        rc, out, err = run(self.store, "idn", "BenchScope")
        self.assertEqual(rc, 0, err)
        self.assertIn("MSO-CD1000", out)
        rc, out, err = run(self.store, "get", "DeskScope", "Identity.InstrumentModel")
        self.assertEqual(rc, 0, err)
        self.assertIn("MSO-CD1000", out)

    def test_initial_settings_reach_the_instrument(self):
        rc, out, err = run(self.store, "get", "TunedScope", "Acquisition.Type")
        self.assertEqual(rc, 0, err)
        self.assertIn("Average", out)
        # Read back in a session without the settings: the instrument holds them.
        rc, out, err = run(self.store, "scpi", "BenchScope", ":CHAN1:OFFS?")
        self.assertEqual(rc, 0, err)
        self.assertAlmostEqual(float(out.split()[-1]), 0.25)
        with open(self.store, "w") as f:
            f.write(STORE.format(resource=self.resource, acquisition_type="Sideways"))
        rc, _, err = run(self.store, "idn", "TunedScope")
        self.assertEqual(rc, 2)  # a value the option check refuses
        self.assertIn("Configurable initial setting 'Acquisition.Type'", err)

    def test_a_damaged_store_is_reported(self):
        with open(self.store, "w") as f:
            f.write("<IviConfigStore><LogicalNames>")
        rc, _, err = run(self.store, "config")
        self.assertEqual(rc, 1)
        self.assertIn("store.xml:1:", err)
        rc, _, err = run(self.store, "idn", "BenchScope")
        self.assertEqual(rc, 1)
        self.assertIn("IVI configuration store", err)


if __name__ == "__main__":
    KORVANE, SIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
