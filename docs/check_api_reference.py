#!/usr/bin/env python3
"""Builds the API reference and fails on any warning or undocumented member.

Doxygen's own warnings (FAIL_ON_WARNINGS in the Doxyfile) cover functions,
variables, types and files; an enumerator without a comment passes them
silently, so this reads doxygen's XML output for those.

    check_api_reference.py DOXYGEN DOXYFILE XML_DIR
"""
import pathlib
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree


def described(element):
    return any("".join(element.find(part).itertext()).strip()
               for part in ("briefdescription", "detaileddescription") if element.find(part) is not None)


def undocumented_enumerators(xml_dir):
    found = set()
    for path in sorted(pathlib.Path(xml_dir).glob("*.xml")):
        if path.name == "index.xml":
            continue
        for enum in ElementTree.parse(path).iter("memberdef"):
            if enum.get("kind") != "enum":
                continue
            where = enum.find("location")
            for value in enum.iter("enumvalue"):
                if not described(value):
                    found.add(f"{where.get('file')}:{where.get('line')}: enumerator {value.findtext('name')} "
                              f"of {enum.findtext('qualifiedname')} is not documented")
    return sorted(found)


def main():
    doxygen, doxyfile, xml_dir = sys.argv[1:4]
    # Pages of a header since removed would otherwise still be read.
    shutil.rmtree(xml_dir, ignore_errors=True)
    if subprocess.run([doxygen, doxyfile]).returncode != 0:
        print("check_api_reference: doxygen warned (above)")
        return 1
    if not list(pathlib.Path(xml_dir).glob("*.xml")):
        print(f"check_api_reference: no XML output in {xml_dir}")
        return 1
    missing = undocumented_enumerators(xml_dir)
    for line in missing:
        print(line)
    if missing:
        return 1
    print("check_api_reference: every public member is documented")
    return 0


if __name__ == "__main__":
    sys.exit(main())
