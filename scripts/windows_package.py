#!/usr/bin/env python3
"""Rules of Windows' driver packages, checked on the driver's INF and project.

    scripts/windows_package.py [--pending RULE] INF VCXPROJ

Each rule below comes from a Microsoft documentation page, named beside it;
each violation prints one line "package: RULE: what is wrong"; the exit status
is 1 when there is one. --pending RULE reports that rule's violations
without failing (a rule whose lines another change is bringing). The INF is
read as Windows reads one: sections and keys in any case, ';' comments
outside quotes, %strings% from [Strings].
"""
import re
import sys
import xml.etree.ElementTree as ET

MSBUILD = "{http://schemas.microsoft.com/developer/msbuild/2003}"
# The kit that builds for Windows 7 (TargetVersion Windows7): the WDK for
# Windows 10, version 2004; later kits target Windows 10 and later only.
KIT = "10.0.19041.0"
# The first Windows whose in-box KMDF is at least the version
# ("KMDF Version History": 1.11 ships with Windows 8).
KMDF_IN_BOX = {(1, 9): (6, 1), (1, 11): (6, 2), (1, 13): (6, 3), (1, 15): (10, 0)}
TARGET_VERSIONS = {"Windows7": (6, 1), "Windows8": (6, 2), "WindowsV6.3": (6, 3), "Windows10": (10, 0)}
FILE_DEVICE_SECURE_OPEN = 0x100


class Inf:
    def __init__(self, text):
        self.sections, self.order, section = {}, [], None
        strings = {}
        for raw in text.splitlines():
            line = self._uncomment(raw).strip()
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                section = line[1:-1].strip().lower()
                self.sections.setdefault(section, [])
                self.order.append(section)
            elif section is not None:
                self.sections[section].append(line)
        for line in self.sections.get("strings", []):
            key, _, value = line.partition("=")
            strings[key.strip().lower()] = value.strip().strip('"')
        self.strings = strings

    @staticmethod
    def _uncomment(line):
        quoted = False
        for i, c in enumerate(line):
            if c == '"':
                quoted = not quoted
            elif c == ";" and not quoted:
                return line[:i]
        return line

    @staticmethod
    def _split(text):
        """The comma-separated values of a line; a quoted value keeps its commas."""
        out, cur, quoted = [], "", False
        for c in text:
            if c == '"':
                quoted = not quoted
            if c == "," and not quoted:
                out.append(cur)
                cur = ""
            else:
                cur += c
        out.append(cur)
        return out

    def expand(self, value):
        return re.sub(r"%([^%]+)%", lambda m: self.strings.get(m.group(1).lower(), m.group(0)), value)

    def entries(self, section):
        """(key or None, [values]) of a section, values expanded and unquoted."""
        out = []
        for line in self.sections.get(section.lower(), []):
            key, sep, rest = line.partition("=")
            if not sep:
                key, rest = None, line
            values = [self.expand(v.strip()).strip('"') for v in self._split(rest)]
            out.append((key.strip().lower() if key is not None else None, values))
        return out

    def values(self, section, key):
        return [v for k, v in self.entries(section) if k == key.lower()]

    def has(self, section):
        return section.lower() in self.sections


def os_version(decoration):
    """(major, minor) of a TargetOSVersion decoration such as NTamd64.6.1, or (0, 0)."""
    parts = decoration.split(".")
    return (int(parts[1]), int(parts[2]) if len(parts) > 2 else 0) if len(parts) > 1 else (0, 0)


def installs(inf):
    """[(decoration, DDInstall section with its .NTamd64 extension)] of every x64 models section."""
    out = []
    for _, values in inf.entries("Manufacturer"):
        models, decorations = values[0], [d for d in values[1:] if d.lower().startswith("ntamd64")]
        for d in decorations:
            for _, model in inf.entries("%s.%s" % (models, d)):
                ddinstall = model[0]
                name = ddinstall + ".NTamd64" if inf.has(ddinstall + ".NTamd64") else ddinstall
                if (d, name) not in out:
                    out.append((d, name))
    return out


def project_values(vcxproj):
    tree = ET.parse(vcxproj)
    values = {}
    for element in tree.iter():
        tag = element.tag.replace(MSBUILD, "")
        if element.text and element.text.strip() and len(element) == 0:
            values.setdefault(tag, element.text.strip())
    return values


def msbuild_regex_replace(expression, text):
    """Evaluates $([System.Text.RegularExpressions.Regex]::Replace($(X), 'pattern', 'replacement'))."""
    m = re.match(r"^\$\(\[System\.Text\.RegularExpressions\.Regex\]::Replace\(\$\(\w+\), '([^']*)', '([^']*)'\)\)$",
                 expression)
    if not m:
        return None
    pattern, replacement = m.group(1), re.sub(r"\$(\d)", r"\\\1", m.group(2))
    return re.sub(pattern.replace(r"\z", r"\Z"), replacement, text, count=1)


def check(inf_path, vcxproj_path):
    inf_text = open(inf_path, encoding="utf-8").read()
    inf, project = Inf(inf_text), project_values(vcxproj_path)
    problems = []

    def rule(name, ok, what):
        if not ok:
            problems.append("%s: %s" % (name, what))

    # Kit pinning ("Other WDK downloads": the WDK for Windows 10, version
    # 2004 is the last with Windows 7 among its targets).
    kit = project.get("WindowsTargetPlatformVersion", "")
    rule("kit pinned", kit == KIT, "WindowsTargetPlatformVersion is '%s', not %s" % (kit, KIT))
    target = TARGET_VERSIONS.get(project.get("TargetVersion", ""))
    rule("kit pinned", target == (6, 1), "TargetVersion is '%s', not Windows7" % project.get("TargetVersion"))

    # DriverVer ("INF DriverVer Directive": mm/dd/yyyy,w.x.y.z, each part of
    # the version below 65535).
    driver_ver = inf.values("Version", "DriverVer")
    dv = driver_ver[0] if driver_ver else []
    ok = (len(dv) == 2 and re.match(r"^(0[1-9]|1[0-2])[/-](0[1-9]|[12]\d|3[01])[/-]\d{4}$", dv[0]) and
          re.match(r"^\d+(\.\d+){0,3}$", dv[1]) and all(int(p) < 65535 for p in dv[1].split(".")))
    rule("DriverVer", ok, "[Version] DriverVer is '%s', not mm/dd/yyyy,w.x.y.z" % ",".join(dv))
    # What Stampinf writes ("Stampinf Properties for Driver Projects"):
    # without Enable DateStamp and a date, the current date; without Enable
    # VersionStamp and a version, STAMPINF_VERSION or the kit's ntverp.h.
    stamped = []
    for enable, value, default in (("SpecifyDriverVerDirectiveDate", "DateStamp", "the build's date"),
                                   ("SpecifyDriverVerDirectiveVersion", "TimeStamp", "the kit's version (ntverp.h)")):
        expression = project.get(value, "")
        if project.get(enable, "").lower() != "true" or not expression or expression == "*":
            stamped.append(default)
            continue
        m = re.match(r"^\$\((\w+)\)$", expression)
        if m:
            expression = project.get(m.group(1), "")
        evaluated = msbuild_regex_replace(expression, inf_text)
        stamped.append(evaluated if evaluated is not None else expression)
    rule("DriverVer", len(dv) == 2 and stamped == dv,
         "Stampinf would write DriverVer %s, quenby.inf says %s" % (",".join(stamped), ",".join(dv)))

    # KMDF version: the project's, in every install's DDInstall.WDF section
    # ("Specifying WDF Directives in INF Files": KmdfService,
    # KmdfLibraryVersion).
    try:
        kmdf = (int(project["KMDF_VERSION_MAJOR"]), int(project["KMDF_VERSION_MINOR"]))
    except (KeyError, ValueError):
        kmdf = None
    rule("KMDF version", kmdf is not None, "the project sets no KMDF_VERSION_MAJOR and KMDF_VERSION_MINOR")
    all_installs = installs(inf)
    rule("co-installer", bool(all_installs), "no x64 models section ([Manufacturer] ... NTamd64...)")
    services = set()
    for _, install in all_installs:
        services |= {v[0] for v in inf.values(install + ".Services", "AddService")}
        wdf = inf.values(install + ".Wdf", "KmdfService")
        versions = {inf.values(w[1], "KmdfLibraryVersion")[0][0] for w in wdf
                    if len(w) > 1 and inf.values(w[1], "KmdfLibraryVersion")}
        rule("KMDF version", kmdf and versions == {"%d.%d" % kmdf},
             "[%s.Wdf] names KMDF %s, the project builds for %s" %
             (install, ", ".join(sorted(versions)) or "nothing", "%d.%d" % kmdf if kmdf else "?"))

    # The co-installer only where the system's KMDF is older than the
    # driver's ("Using the KMDF Co-installer"; "KMDF Version History"), with
    # the install chosen by OS version ("INF Manufacturer Section",
    # TargetOSVersion: the highest decoration the system reaches).
    coinstaller = "WdfCoInstaller%02d%03d.dll" % kmdf if kmdf else None
    in_box = KMDF_IN_BOX.get(kmdf) if kmdf else None
    decorations = sorted({os_version(d) for d, _ in all_installs})
    for d, install in all_installs:
        lowest = os_version(d)
        # The systems this install serves: from its decoration to the next one.
        later = [v for v in decorations if v > lowest]
        upto = later[0] if later else None
        needs = in_box is None or lowest < in_box
        mixed = in_box is not None and needs and (upto is None or upto > in_box)
        has = inf.has(install + ".CoInstallers")
        rule("co-installer", lowest != (0, 0), "models section %s has no OS version (NTamd64.6.1, NTamd64.6.2)" % d)
        rule("co-installer", not mixed, "install %s serves systems with and without KMDF %s in the box" %
             (install, "%d.%d" % kmdf if kmdf else "?"))
        if needs:
            reg = [v for s in inf.values(install + ".CoInstallers", "AddReg") for r in s
                   for _, v in inf.entries(r)]
            files = [v[0] for s in inf.values(install + ".CoInstallers", "CopyFiles") for f in s
                     for _, v in inf.entries(f)]
            rule("co-installer", any(len(v) >= 5 and v[2].lower() == "coinstallers32" and
                                     v[4].lower() == "%s,wdfcoinstaller" % coinstaller.lower() for v in reg) and
                 coinstaller in files, "install %s (%s) needs the co-installer %s" % (install, d, coinstaller))
        else:
            rule("co-installer", not has, "install %s (%s) has a co-installer, KMDF %d.%d is in the box there" %
                 (install, d, kmdf[0], kmdf[1]))

    # DIRIDs ("Using Dirids"): 12 the drivers folder, 11 the system folder;
    # the service binary where its file is copied; no DIRID 13 (the driver
    # store, Windows 10 version 1709 and later) on a Windows 7 package.
    dirs = {}
    for key, values in inf.entries("DestinationDirs"):
        dirs[key] = values[0]
    rule("DIRIDs", all(v in ("10", "11", "12") for v in dirs.values()),
         "[DestinationDirs] uses %s; a Windows 7 package copies to 10, 11 or 12" % ", ".join(sorted(dirs.values())))
    copied = {}
    for _, install in all_installs:
        for section in [s for v in inf.values(install, "CopyFiles") for s in v]:
            for _, v in inf.entries(section):
                copied[v[0].lower()] = dirs.get(section.lower(), dirs.get("defaultdestdir"))
        for section in [s for v in inf.values(install + ".CoInstallers", "CopyFiles") for s in v]:
            for _, v in inf.entries(section):
                rule("DIRIDs", dirs.get(section.lower()) == "11", "the co-installer %s goes to DIRID %s, not 11" %
                     (v[0], dirs.get(section.lower())))
    for name, dirid in copied.items():
        if name.endswith(".sys"):
            rule("DIRIDs", dirid == "12", "%s goes to DIRID %s, not 12 (drivers)" % (name, dirid))
    for service in services:
        for section in [v[2] for _, install in all_installs for v in inf.values(install + ".Services", "AddService")
                        if v[0] == service and len(v) > 2]:
            binary = inf.values(section, "ServiceBinary")
            path = binary[0][0] if binary else ""
            m = re.match(r"^%(\d+)%\\(.+)$", path)
            rule("DIRIDs", m is not None and copied.get(m.group(2).lower()) == m.group(1),
                 "ServiceBinary %s of [%s] is not where the install copies it" % (path, section))

    # Namespace security of the device ("Controlling Device Namespace
    # Access"; "INF AddReg Directive": DeviceCharacteristics and Security in
    # a DDInstall.HW AddReg section): FILE_DEVICE_SECURE_OPEN and an SDDL.
    for _, install in all_installs:
        reg = [v for s in inf.values(install + ".HW", "AddReg") for r in s for _, v in inf.entries(r)]
        chars = [v for v in reg if len(v) >= 5 and v[0].upper() == "HKR" and v[2].lower() == "devicecharacteristics"]
        try:
            secure = bool(chars) and int(chars[0][4], 0) & FILE_DEVICE_SECURE_OPEN != 0
        except ValueError:
            secure = False
        rule("namespace security", secure,
             "[%s.HW] sets no DeviceCharacteristics with FILE_DEVICE_SECURE_OPEN (0x100)" % install)
        sddl = [v for v in reg if len(v) >= 5 and v[0].upper() == "HKR" and v[2].lower() == "security"]
        rule("namespace security", bool(sddl) and sddl[0][4].startswith("D:"),
             "[%s.HW] sets no Security SDDL (D:...)" % install)
    return problems


def main():
    args, pending = sys.argv[1:], set()
    while len(args) > 2 and args[0] == "--pending":
        pending.add(args[1])
        args = args[2:]
    if len(args) != 2:
        sys.exit(__doc__)
    problems = check(args[0], args[1])
    failing = [p for p in problems if p.split(":", 1)[0] not in pending]
    for p in problems:
        print("package: %s%s" % ("" if p in failing else "pending, not failing: ", p))
    print("package: %s and %s: %s" % (args[0].split("/")[-1], args[1].split("/")[-1],
                                      "%d problems" % len(failing) if failing else "every rule holds"))
    sys.exit(1 if failing else 0)


if __name__ == "__main__":
    main()
