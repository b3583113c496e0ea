#!/usr/bin/env python3
"""Generates countries.sql, the country table built into the program.

One row per country that has a mobile country code: ISO letters, English and
local name, calling code, mobile country codes, national significant number
lengths of fixed-line and mobile numbers, trunk prefix and the mobile-number
pattern. The rows of KEPT_ROWS keep the codes and lengths the program has
always shipped for them.

Sources (see LICENSES.md):
  - Debian iso-codes: /usr/share/iso-codes/json/iso_3166-1.json (English names)
  - Debian unicode-cldr-core: /usr/share/unicode/cldr/common (local names)
  - Debian mobile-broadband-provider-info:
    /usr/share/mobile-broadband-provider-info/serviceproviders.xml (MCCs)
  - mcc_supplement.csv beside this script (MCCs the provider database lacks)
  - npm libphonenumber-js: metadata.max.json (calling codes, lengths, patterns)

Usage:
  cd "$(mktemp -d)" && npm pack libphonenumber-js && tar xzf libphonenumber-js-*.tgz
  python3 gen_countries.py --metadata "$PWD/package/metadata.max.json"

The output is committed, so building the program needs none of the above.
"""

import argparse
import collections
import csv
import json
import os
import re
import sys
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ISO_JSON = "/usr/share/iso-codes/json/iso_3166-1.json"
CLDR = "/usr/share/unicode/cldr/common"
PROVIDERS = "/usr/share/mobile-broadband-provider-info/serviceproviders.xml"

# Territories not (yet) in ISO 3166-1 but with their own MCC and numbering plan.
EXTRA_CODES = {"XK"}

OFFICIAL = ("official", "de_facto_official")

# Mobile country codes and national lengths that earlier releases listed for these
# countries, and that users and stored files know them by; they stand whatever the
# sources say (a code the sources give such a country beyond its list is not looked up
# either). Germany's lengths cover landlines as short as Berlin's "30 123456".
KEPT_ROWS = {
    "US": ("310,311,312,313,314,315,316", "10"),
    "GB": ("234,235", "10"),
    "DE": ("262", "7,8,9,10,11,12"),
    "CN": ("460", "11"),
}


def fail(text):
    sys.exit("gen_countries: " + text)


def english_names():
    with open(ISO_JSON, encoding="utf-8") as f:
        entries = json.load(f)["3166-1"]
    return {e["alpha_2"]: e.get("common_name", e["name"]) for e in entries}


def cldr_territory_names(locale):
    path = os.path.join(CLDR, "main", locale + ".xml")
    if not os.path.exists(path):
        return {}
    names = {}
    for t in ET.parse(path).getroot().iter("territory"):
        if t.get("alt") is None and t.get("type") and t.text:
            names[t.get("type")] = t.text
    return names


def main_languages():
    """Territory -> the official language most people speak there."""
    root = ET.parse(os.path.join(CLDR, "supplemental", "supplementalData.xml")).getroot()
    result = {}
    for t in root.iter("territory"):
        best = None
        for lp in t.findall("languagePopulation"):
            if lp.get("officialStatus") not in OFFICIAL:
                continue
            pct = float(lp.get("populationPercent", "0"))
            if best is None or pct > best[0]:
                best = (pct, lp.get("type"))
        if best:
            result[t.get("type")] = best[1]
    return result


def local_names(codes, english):
    langs = main_languages()
    cache = {}

    def lookup(locale, code):
        if locale not in cache:
            cache[locale] = cldr_territory_names(locale)
        return cache[locale].get(code)

    result = {}
    for code in codes:
        lang = langs.get(code)
        name = None
        if lang:
            # CLDR keeps e.g. "sr_Latn" apart from "sr"; fall back to the base language.
            name = lookup(lang, code) or lookup(lang.split("_")[0], code)
        result[code] = name or english[code]
    return result


def provider_mccs():
    """MCC -> set of countries, as listed by the provider database."""
    root = ET.parse(PROVIDERS).getroot()
    result = collections.defaultdict(set)
    for country in root.findall("country"):
        code = country.get("code").upper()
        for nid in country.iter("network-id"):
            mcc = nid.get("mcc")
            if not re.fullmatch(r"\d{3}", mcc or ""):
                fail("bad MCC %r for %s" % (mcc, code))
            result[mcc].add(code)
    return result


def read_supplement():
    rows = []
    with open(os.path.join(HERE, "mcc_supplement.csv"), encoding="utf-8") as f:
        lines = [l for l in f if not l.startswith("#")]
    for row in csv.DictReader(lines):
        if not re.fullmatch(r"\d{3}", row["mcc"]) or not re.fullmatch(r"[A-Z]{2}", row["sn"]):
            fail("bad supplement row %r" % row)
        if row["rule"] not in ("assign", "share", "reject"):
            fail("bad rule in %r" % row)
        rows.append(row)
    return rows


def mcc_tables():
    """Returns (mcc -> owning country, country -> set of MCCs it uses)."""
    listed = provider_mccs()
    supplement = read_supplement()
    for row in supplement:
        if row["rule"] == "reject":
            listed[row["mcc"]].discard(row["sn"])

    owner = {}
    for row in supplement:
        if row["rule"] == "assign":
            if row["mcc"] in owner:
                fail("MCC %s assigned twice" % row["mcc"])
            owner[row["mcc"]] = row["sn"]
    for mcc, countries in listed.items():
        if mcc in owner or not countries:
            continue
        if len(countries) > 1:
            fail("MCC %s listed for %s: decide in mcc_supplement.csv" % (mcc, sorted(countries)))
        owner[mcc] = next(iter(countries))

    uses = collections.defaultdict(set)
    for mcc, countries in listed.items():
        for c in countries:
            uses[c].add(mcc)
    for mcc, c in owner.items():
        uses[c].add(mcc)
    for row in supplement:
        if row["rule"] == "share":
            if row["mcc"] not in owner:
                fail("shared MCC %s has no owner" % row["mcc"])
            uses[row["sn"]].add(row["mcc"])
    return owner, uses


def numbering_data(meta):
    """(national lengths, trunk prefix, mobile pattern) of one libphonenumber-js entry.

    The lengths are those of fixed-line and of mobile numbers together, so that a landline
    written without its calling code is recognised as a national number too."""
    general_pattern = meta[2]
    general_lengths = meta[3]
    trunk = meta[5] or ""
    types = meta[11] if len(meta) > 11 else None
    fixed = types[0] if types and types[0] else None
    mobile = types[1] if types and len(types) > 1 and types[1] else None

    def lengths_of(desc):
        return desc[1] if desc is not None and len(desc) > 1 and desc[1] else general_lengths

    pattern = general_pattern
    if mobile is not None and mobile[0] != "":
        pattern = mobile[0]
    elif mobile is not None and fixed is not None:
        # An empty mobile pattern means "the same as the fixed-line one".
        pattern = fixed[0]
        mobile = fixed
    lengths = set(lengths_of(mobile))
    if fixed is not None:
        lengths |= set(lengths_of(fixed))
    return ",".join(str(n) for n in sorted(lengths)), trunk, pattern


def sql_text(value):
    return "'" + value.replace("'", "''") + "'"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--metadata", required=True, help="libphonenumber-js metadata.max.json")
    parser.add_argument("--output", default=os.path.join(HERE, "countries.sql"))
    args = parser.parse_args()

    with open(args.metadata, encoding="utf-8") as f:
        phone = json.load(f)
    if phone.get("version") != 4:
        fail("unknown libphonenumber-js metadata version %r" % phone.get("version"))
    plans = phone["countries"]

    english = english_names()
    english.update({c: cldr_territory_names("en")[c] for c in EXTRA_CODES})
    owner, uses = mcc_tables()

    codes = sorted(c for c in uses if uses[c])
    for c in codes:
        if c not in english:
            fail("no name for %s" % c)
        if c not in plans:
            fail("no numbering plan for %s" % c)
    local = local_names(codes, english)

    rows = []
    for c in codes:
        meta = plans[c]
        numc, trunk, pattern = numbering_data(meta)
        # The program anchors the pattern itself and compiles it as given.
        re.compile("^" + pattern + "$")
        mccs = ",".join(sorted(uses[c], key=lambda m: (owner.get(m) != c, m)))
        if c in KEPT_ROWS:
            mccs, numc = KEPT_ROWS[c]
        rows.append((c, local[c], meta[0], mccs, numc, trunk, pattern, english[c]))

    package_json = os.path.join(os.path.dirname(os.path.abspath(args.metadata)), "package.json")
    version = "unknown version"
    if os.path.exists(package_json):
        with open(package_json, encoding="utf-8") as f:
            version = json.load(f).get("version", version)
    out = [
        "-- Generated by gen_countries.py; do not edit by hand.",
        "-- Numbering plans from libphonenumber-js %s." % version,
        "BEGIN TRANSACTION;",
        "CREATE TABLE countries(sn CHAR(2) PRIMARY KEY, ln TEXT, pnum TEXT, mmc TEXT, numc TEXT, "
        "u2 TEXT, r1 TEXT, r2 TEXT, r3 TEXT, r4 TEXT, mnc_rx TEXT, n TEXT);",
        "CREATE INDEX index_countries_pnum ON countries(pnum);",
        "CREATE TABLE mmc_sn(mmc CHAR(3) PRIMARY KEY, sn CHAR(2));",
        "CREATE INDEX index_mmc_sn ON mmc_sn(sn);",
    ]
    for sn, ln, pnum, mmc, numc, u2, r1, n in rows:
        out.append("INSERT INTO countries(sn, ln, pnum, mmc, numc, u2, r1, r2, r3, r4, mnc_rx, n) "
                   "VALUES(%s, %s, %s, %s, %s, %s, %s, '', '', '', '', %s);"
                   % tuple(sql_text(v) for v in (sn, ln, pnum, mmc, numc, u2, r1, n)))
    kept_codes = {c: set(mccs.split(",")) for c, (mccs, _) in KEPT_ROWS.items()}
    mappings = 0
    for mcc in sorted(owner):
        if owner[mcc] in kept_codes and mcc not in kept_codes[owner[mcc]]:
            continue
        if owner[mcc] in codes:
            mappings += 1
            out.append("INSERT INTO mmc_sn(mmc, sn) VALUES(%s, %s);"
                       % (sql_text(mcc), sql_text(owner[mcc])))
    out.append("COMMIT;")
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out) + "\n")
    print("%d countries, %d mobile country codes -> %s" % (len(rows), mappings, args.output))


if __name__ == "__main__":
    main()
