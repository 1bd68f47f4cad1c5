#!/usr/bin/env python3
"""Reads a method trace with the standard library's XML parser and prints one line per record,
fields separated by tabs: Interface.Name, HRESULT, message, thread, then the parameters as
direction:name=value (arrays: value/count/shown). Exits non-zero when the file does not parse
or is not a trace, or a record
starts before the trace did."""
import sys
import xml.etree.ElementTree as ET


def main(path):
    root = ET.parse(path).getroot()
    if root.tag != "TraceRecords":
        sys.exit(f"root is {root.tag}")
    for m in root.findall("Method"):
        hr = m.find("HRESULT")
        ex = m.find("Execution")
        if hr is None or ex is None:
            sys.exit("a record without HRESULT or Execution")
        float(ex.get("ExecutionTime"))
        if int(m.get("StartTime")) < 0:
            sys.exit(f"{m.get('Name')}: StartTime {m.get('StartTime')} is before the trace started")
        fields = [m.get("Interface") + "." + m.get("Name"), hr.get("Value"),
                  hr.get("Message").replace("\r", "\\r").replace("\n", "\\n"), m.get("Thread")]
        for p in m.findall("Parameter"):
            text = f"{p.get('Direction')}:{p.get('Name')}={p.get('Value')}"
            if p.get("Count") is not None:
                text += f"/{p.get('Count')}/{p.get('Shown')}"
            fields.append(text)
        print("\t".join(fields))


if __name__ == "__main__":
    main(sys.argv[1])
