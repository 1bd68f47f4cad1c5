"""Tests of the entry-point templates of the generator (member records, implementation classes,
QueryInterface tables, thunks) on the small synthetic catalogue of test_catalog."""
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from test_catalog import ENUMS, INTERFACES, LIBRARY, ROOT

sys.path.insert(0, str(ROOT / "tools" / "codegen"))
import gen_com  # noqa: E402
import korvane_catalog as kc  # noqa: E402

# Level, Fetch and Name are hooks; IGamma's putter is generic.
SPECIFIC = INTERFACES.replace('impl = "generic"\nquery = ":LEV?"\nresponse = "%lf"\ncommand = ":LEV %0.15lg"',
                              'impl = "hook"')

# The object class the generated thunks expect for coclass Thing.
OBJECTS_H = """\
#pragma once
#include "com/ComObject.h"
#include "core/Driver.h"
#include "core/MemberInfo.h"
#include "core/ObjectNode.h"
namespace korvane {
class CThingSession : public CDriver, public CObjectNode {
 public:
  CDriver* Session() noexcept { return this; }
  IErrorReporter& Reporter() noexcept { return *ErrorReporter(); }
  template <typename... A> HRESULT CollectionMember(const CMemberInfo&, A...) { return E_NOTIMPL; }
};
class CThing final : public CComObject<CThing, CThingSession, gen::CThing_Interfaces> {};
HRESULT Impl_IAlpha_get_Level(CThing&, DOUBLE* Val) { *Val = 1; return S_OK; }
HRESULT Impl_IAlpha_put_Level(CThing&, DOUBLE) { return S_OK; }
}  // namespace korvane
"""


class Templates(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.dir)
        cat = self.dir / "catalog"
        cat.mkdir()
        for name, text in {"library.toml": LIBRARY, "enums.toml": ENUMS, "interfaces-test.toml": SPECIFIC}.items():
            (cat / name).write_text(text)
        self.models = self.dir / "models.toml"
        self.models.write_text('[[model]]\nid = "M1"\nfamily = "Bormo"\n')
        self.cat = kc.load(cat, self.models)

    def record(self, text, symbol):
        m = re.search(rf"inline constexpr CMemberInfo {symbol}\{{(.*)\}};", text)
        self.assertIsNotNone(m, symbol)
        return m.group(1)

    def test_member_records(self):
        # Records are designated initialisers naming only what differs from CMemberInfo's defaults.
        h = gen_com.members_header(self.cat)
        get = self.record(h, "IAlpha_get_Level")
        self.assertEqual(get, '.method = {IID_IAlpha, "IAlpha", "get_Level"}, .kind = MemberKind::Get, '
                              '.impl = ImplKind::Hook, .simulated = true, .key = "IAlpha.Level", '
                              '.paramNames = IAlpha_get_Level_params, .paramCount = 1, .checkMask = 0x1u, '
                              '.clearMask = 0x1u, .simReal = 2.5')
        self.assertIn('IAlpha_get_Level_params[] = {"val"};', h)
        # An inout array is checked, not emptied; the guard lists its families.
        fetch = self.record(h, "IAlpha_Fetch")
        self.assertIn(".kind = MemberKind::Method, .impl = ImplKind::Hook, .paramNames = IAlpha_Fetch_params, "
                      ".paramCount = 2, .checkMask = 0x1u, .excludedFamilies = IAlpha_Fetch_families", fetch)
        self.assertNotIn(".clearMask", fetch)
        self.assertIn('IAlpha_Fetch_families[] = {"Bormo", nullptr};', h)
        # Navigation: no connection, not cached, the target's IID.
        nav = self.record(h, "IAlpha_get_Beta")
        self.assertIn(".impl = ImplKind::Navigation, .needsConnection = false, .key", nav)
        self.assertNotIn(".simulated", nav)
        self.assertIn(".target = &IID_IBeta", nav)
        # An indexed getter is not served from the cache; its value is the second parameter.
        name = self.record(h, "IBeta_get_Name")
        self.assertIn('.impl = ImplKind::Hook, .key = "IBeta.Name", .paramNames = IBeta_get_Name_params, '
                      '.paramCount = 2, .checkMask = 0x2u, .clearMask = 0x2u', name)
        self.assertIn('IBeta_get_Name_params[] = {"Index", "val"};', h)
        self.assertIn('.command = ":COL %d"', self.record(h, "IGamma_put_Colour"))

    def test_hooks_declared_and_referenced(self):
        # The catalogue alone decides: every hook member is declared, and its thunk names the
        # hook (so a hook nobody defines fails the link); other members have neither.
        objects = gen_com.objects_header(self.cat)
        self.assertIn("HRESULT Impl_IAlpha_get_Level(CThing& self, DOUBLE* Val);", objects)
        self.assertIn("HRESULT Impl_IAlpha_put_Level(CThing& self, DOUBLE Val);", objects)
        self.assertIn("HRESULT Impl_IAlpha_Fetch(CThing& self, SAFEARRAY** Data, KorvaneColourEnum Colour);", objects)
        self.assertNotIn("Impl_IAlpha_get_Beta", objects)
        self.assertNotIn("Impl_IGamma_put_Colour", objects)
        text = "".join(gen_com.thunk_units(self.cat, 2))
        self.assertIn("frame::Entry<members::IAlpha_put_Level, &Impl_IAlpha_put_Level>", text)
        self.assertIn("frame::Entry<members::IGamma_put_Colour>(", text)

    def test_one_class_per_leaf_covers_the_chain(self):
        objects = gen_com.objects_header(self.cat)
        # IBeta extends IAlpha: one class implements both vtables; IGamma has its own.
        self.assertIn("class CThing_IBeta : public IBeta {", objects)
        self.assertNotIn("class CThing_IAlpha", objects)
        body = objects.split("class CThing_IBeta : public IBeta {")[1].split("};")[0]
        entries = re.findall(r"STDMETHODCALLTYPE (\w+)\(", body)
        self.assertEqual(entries, ["get_Level", "put_Level", "get_Beta", "Fetch", "get_Name"])
        self.assertIn("class CThing_Interfaces : public CThing_IBeta, public CThing_IGamma {};", objects)

    def test_thunks_and_interface_table(self):
        units = gen_com.thunk_units(self.cat, 3)
        self.assertEqual(len(units), 3)
        text = "".join(units)
        self.assertIn("HRESULT STDMETHODCALLTYPE CThing_IBeta::get_Level(DOUBLE* Val) {\n"
                      "  return frame::Entry<members::IAlpha_get_Level, &Impl_IAlpha_get_Level>"
                      "(static_cast<CThing&>(*this), Val);", text)
        self.assertIn("frame::Entry<members::IAlpha_Fetch, &Impl_IAlpha_Fetch>(static_cast<CThing&>(*this), Data, Colour);",
                      text)
        self.assertIn("if (IsEqualIID(iid, IID_IAlpha)) return static_cast<IAlpha*>(static_cast<CThing_IBeta*>(&self));",
                      text)
        self.assertIn("if (IsEqualIID(iid, IID_IUnknown))", text)
        self.assertIn("if (IsEqualIID(iid, IID_IGamma)) return static_cast<IGamma*>(static_cast<CThing_IGamma*>(&self));",
                      text)
        self.assertEqual(text.count("void* FindInterface(CThing& self"), 1)

    def test_cxx_string_escapes(self):
        self.assertEqual(gen_com.cxx_string('%{E}[^\n]'), '"%{E}[^\\n]"')
        self.assertEqual(gen_com.cxx_string(':A "B" \\'), '":A \\"B\\" \\\\"')
        self.assertEqual(gen_com.cxx_string(None), "nullptr")

    def generate_and_compile(self, objects_h=OBJECTS_H, flags=()):
        """Generates into the test directory and compiles every thunk unit; the compiler's result."""
        out = self.dir / "gen"
        self.assertEqual(gen_com.main([str(self.dir / "catalog"), str(out), "--models", str(self.models),
                                       "--thunk-units", "2"]), 0)
        subprocess.run([sys.executable, str(ROOT / "tools" / "codegen" / "gen_messages.py"),
                        str(ROOT / "catalog" / "messages.toml"), str(out / "korvane" / "MessageTable.inc"),
                        str(out / "korvane" / "ReporterOperations.inc")],
                       check=True)
        inc = self.dir / "inc" / "com"
        inc.mkdir(parents=True, exist_ok=True)
        (inc / "Objects.h").write_text(objects_h)
        for unit in sorted((out / "com").glob("KorvaneThunks*.cpp")):
            r = subprocess.run(["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", *flags, "-fsyntax-only",
                                f"-I{self.dir / 'inc'}", f"-I{ROOT / 'include'}", f"-I{ROOT / 'src'}", f"-I{out}",
                                str(unit)], capture_output=True, text=True)
            if r.returncode:
                return r
        return r

    @unittest.skipUnless(shutil.which("g++"), "needs g++")
    def test_generated_sources_compile(self):
        r = self.generate_and_compile()
        self.assertEqual(r.returncode, 0, r.stderr[-3000:])

    @unittest.skipUnless(shutil.which("g++"), "needs g++")
    def test_hook_the_catalogue_does_not_declare_is_an_error(self):
        # Beta is navigation: a definition of a hook for it has no declaration, as a misspelt name
        # would.
        stray = OBJECTS_H.replace("}  // namespace korvane",
                                  "HRESULT Impl_IAlpha_get_Beta(CThing&, IBeta**) { return S_OK; }\n"
                                  "}  // namespace korvane")
        r = self.generate_and_compile(stray, ["-Wmissing-declarations"])
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("no previous declaration for 'HRESULT korvane::Impl_IAlpha_get_Beta",
                      r.stderr.replace("\u2018", "'").replace("\u2019", "'"))

    @unittest.skipUnless(shutil.which("g++"), "needs g++")
    def test_forward_calls_the_named_member(self):
        path = self.dir / "catalog" / "interfaces-test.toml"
        path.write_text(SPECIFIC.replace('name = "Name"\nparams = [{ name = "Index", type = "long" }]\ntype = "BSTR"\n'
                                         'impl = "hook"', 'name = "Name"\ntype = "double"\nforward = "IAlpha.Level"'))
        cat = kc.load(self.dir / "catalog", self.models)
        self.assertEqual(cat.interfaces["IBeta"].members[0].impl, "forward")
        text = "".join(gen_com.thunk_units(cat, 2))
        self.assertIn("frame::Entry<members::IBeta_get_Name, frame::Forward<IAlpha, IID_IAlpha, &IAlpha::get_Level>{}>",
                      text)
        r = self.generate_and_compile()
        self.assertEqual(r.returncode, 0, r.stderr[-3000:])


if __name__ == "__main__":
    unittest.main()
