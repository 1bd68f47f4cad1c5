"""Tests of the entry-point templates of the generator (member records, implementation classes,
QueryInterface tables, thunks, coverage) on the small synthetic catalogue of test_catalog."""
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

# Level is specific, so that claims matter; IGamma stays incomplete.
SPECIFIC = INTERFACES.replace('impl = "generic"\nquery = ":LEV?"\nresponse = "%lf"\ncommand = ":LEV %0.15lg"',
                              'impl = "specific"')

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
        self.all = gen_com.claims_of(self.cat, None)

    def record(self, text, symbol):
        m = re.search(rf"inline constexpr CMemberInfo {symbol}\{{(.*)\}};", text)
        self.assertIsNotNone(m, symbol)
        return m.group(1)

    def test_member_records(self):
        h = gen_com.members_header(self.cat, self.all)
        get = self.record(h, "IAlpha_get_Level")
        self.assertTrue(get.startswith('{IID_IAlpha, "IAlpha", "get_Level"}, MemberKind::Get, ImplKind::Specific, '
                                       'true, true, true, "IAlpha.Level", IAlpha_get_Level_params, 1, 0x1u, 0x1u,'), get)
        self.assertIn(", 0LL, 2.5, nullptr,", get)
        self.assertIn('IAlpha_get_Level_params[] = {"val"};', h)
        # An inout array is checked, not emptied; the guard lists its families.
        fetch = self.record(h, "IAlpha_Fetch")
        self.assertIn("MemberKind::Method, ImplKind::Unimplemented, true, true, false, nullptr, "
                      "IAlpha_Fetch_params, 2, 0x1u, 0x0u, IAlpha_Fetch_families, nullptr,", fetch)
        self.assertIn('IAlpha_Fetch_families[] = {"Bormo", nullptr};', h)
        # Navigation: no connection, not cached, the target's IID.
        nav = self.record(h, "IAlpha_get_Beta")
        self.assertIn("ImplKind::Navigation, false, true, false,", nav)
        self.assertIn("&IID_IBeta", nav)
        # An indexed getter is not served from the cache; its value is the second parameter.
        name = self.record(h, "IBeta_get_Name")
        self.assertIn("ImplKind::Unimplemented, true, true, false, \"IBeta.Name\", IBeta_get_Name_params, 2, "
                      "0x2u, 0x2u,", name)
        self.assertIn('IBeta_get_Name_params[] = {"Index", "val"};', h)
        self.assertNotIn("IGamma_", h)

    def test_hooks_pending_until_defined(self):
        none = gen_com.claims_of(self.cat, set())
        self.assertIn("ImplKind::Pending", self.record(gen_com.members_header(self.cat, none), "IAlpha_get_Level"))
        objects = gen_com.objects_header(self.cat, none)
        self.assertNotIn("Impl_IAlpha_get_Level", objects)
        self.assertNotIn("&Impl_", "".join(gen_com.thunk_units(self.cat, none, 2)))
        objects = gen_com.objects_header(self.cat, self.all)
        self.assertIn("HRESULT Impl_IAlpha_get_Level(CThing& self, DOUBLE* Val);", objects)
        self.assertIn("HRESULT Impl_IAlpha_put_Level(CThing& self, DOUBLE Val);", objects)
        # Definitions are found in hand-written sources.
        src = self.dir / "src"
        src.mkdir()
        (src / "Level.cpp").write_text("HRESULT Impl_IAlpha_get_Level(CThing& self, DOUBLE* Val) {}\n")
        claims = gen_com.hook_claims([src])
        self.assertIn("Impl_IAlpha_get_Level", claims)
        self.assertNotIn("Impl_IAlpha_put_Level", claims)
        report = gen_com.coverage(self.cat, gen_com.claims_of(self.cat, claims))
        self.assertIn("IAlpha: 2 (1 specific, hook not written, 1 unimplemented)", report)

    def test_behaviour_floor_fails_the_generation_naming_the_members(self):
        src = self.dir / "src"
        src.mkdir()
        (src / "Level.cpp").write_text("HRESULT Impl_IAlpha_get_Level(CThing& self, DOUBLE* Val) {}\n")
        args = [str(self.dir / "catalog"), "--models", str(self.models), "--hooks", str(src)]
        have = sum(sum(h.values()) for h, _ in gen_com.behaviour_of(
            self.cat, gen_com.claims_of(self.cat, gen_com.hook_claims([src]))).values())
        self.assertEqual(gen_com.main(args + ["--min-behaviour", str(have)]), 0)
        from contextlib import redirect_stderr
        from io import StringIO
        err = StringIO()
        with redirect_stderr(err):
            self.assertEqual(gen_com.main(args + ["--min-behaviour", str(have + 1)]), 1)
        self.assertIn("IAlpha.put_Level (Impl_IAlpha_put_Level)", err.getvalue())
        self.assertNotIn("IAlpha.get_Level", err.getvalue())

    def test_one_class_per_leaf_covers_the_chain(self):
        objects = gen_com.objects_header(self.cat, self.all)
        # IBeta extends IAlpha: one class implements both vtables; IGamma is incomplete.
        self.assertIn("class CThing_IBeta : public IBeta {", objects)
        self.assertNotIn("class CThing_IAlpha", objects)
        self.assertNotIn("IGamma", objects.split("namespace gen {")[1])
        body = objects.split("class CThing_IBeta : public IBeta {")[1].split("};")[0]
        entries = re.findall(r"STDMETHODCALLTYPE (\w+)\(", body)
        self.assertEqual(entries, ["get_Level", "put_Level", "get_Beta", "Fetch", "get_Name"])
        self.assertIn("class CThing_Interfaces : public CThing_IBeta {};", objects)

    def test_thunks_and_interface_table(self):
        units = gen_com.thunk_units(self.cat, self.all, 3)
        self.assertEqual(len(units), 3)
        text = "".join(units)
        self.assertIn("HRESULT STDMETHODCALLTYPE CThing_IBeta::get_Level(DOUBLE* Val) {\n"
                      "  return frame::Entry<members::IAlpha_get_Level, &Impl_IAlpha_get_Level>"
                      "(static_cast<CThing&>(*this), Val);", text)
        self.assertIn("frame::Entry<members::IAlpha_Fetch>(static_cast<CThing&>(*this), Data, Colour);", text)
        self.assertIn("if (IsEqualIID(iid, IID_IAlpha)) return static_cast<IAlpha*>(static_cast<CThing_IBeta*>(&self));",
                      text)
        self.assertIn("if (IsEqualIID(iid, IID_IUnknown))", text)
        self.assertNotIn("IID_IGamma", text)
        self.assertEqual(text.count("void* FindInterface(CThing& self"), 1)

    def test_cxx_string_escapes(self):
        self.assertEqual(gen_com.cxx_string('%{E}[^\n]'), '"%{E}[^\\n]"')
        self.assertEqual(gen_com.cxx_string(':A "B" \\'), '":A \\"B\\" \\\\"')
        self.assertEqual(gen_com.cxx_string(None), "nullptr")

    @unittest.skipUnless(shutil.which("g++"), "needs g++")
    def test_generated_sources_compile(self):
        out = self.dir / "gen"
        self.assertEqual(gen_com.main([str(self.dir / "catalog"), str(out), "--models", str(self.models),
                                       "--thunk-units", "2"]), 0)
        subprocess.run([sys.executable, str(ROOT / "tools" / "codegen" / "gen_messages.py"),
                        str(ROOT / "catalog" / "messages.toml"), str(out / "korvane" / "MessageTable.inc")],
                       check=True)
        inc = self.dir / "inc" / "com"
        inc.mkdir(parents=True)
        (inc / "Objects.h").write_text(OBJECTS_H)
        for unit in sorted((out / "com").glob("KorvaneThunks*.cpp")):
            r = subprocess.run(["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
                                f"-I{self.dir / 'inc'}", f"-I{ROOT / 'include'}", f"-I{ROOT / 'src'}", f"-I{out}",
                                str(unit)], capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr[-3000:])


if __name__ == "__main__":
    unittest.main()
