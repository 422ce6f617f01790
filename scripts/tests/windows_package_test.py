#!/usr/bin/env python3
"""Each rule of scripts/windows_package.py refuses the fault it is for.

One table: a fault put into the driver's real INF or project, and the rule
and words the linter must report for it. A rule that never fires (a parser
that misreads a section, a condition turned round) fails here.
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import windows_package  # noqa: E402

INF = os.path.join(ROOT, "win_avstream_driver", "quenby.inf")
PROJECT = os.path.join(ROOT, "win_avstream_driver", "quenby.vcxproj")


def replace(old, new):
    return lambda text: text.replace(old, new, 1) if old in text else None


# (file, fault, rule, words of the report)
CASES = [
    ("vcxproj", replace("<WindowsTargetPlatformVersion>10.0.19041.0", "<WindowsTargetPlatformVersion>$(LatestTargetPlatformVersion)"),
     "kit pinned", "WindowsTargetPlatformVersion"),
    ("vcxproj", replace("<TargetVersion>Windows7", "<TargetVersion>Windows10"), "kit pinned", "TargetVersion"),
    ("vcxproj", replace("<SpecifyDriverVerDirectiveVersion>true", "<SpecifyDriverVerDirectiveVersion>false"),
     "DriverVer", "the kit's version"),
    ("vcxproj", replace("<DateStamp>$(QuenbyDriverDate)", "<DateStamp>*"), "DriverVer", "the build's date"),
    ("inf", lambda t: t.replace("DriverVer   = 12/09/2025,1.0.0.0", "DriverVer   = 12/09/2025,1.0.0.70000"),
     "DriverVer", "not mm/dd/yyyy"),
    ("inf", replace("KmdfLibraryVersion = 1.11", "KmdfLibraryVersion = 1.9"), "KMDF version", "names KMDF 1.9"),
    ("inf", replace("[Quenby.Install.Win7.NTamd64.CoInstallers]", "[Quenby.Install.NTamd64.CoInstallers]"),
     "co-installer", "has a co-installer, KMDF 1.11 is in the box"),
    ("inf", replace("%MfgName% = Korvel, NTamd64.6.1, NTamd64.6.2", "%MfgName% = Korvel, NTamd64.6.1"),
     "co-installer", "serves systems with and without KMDF 1.11"),
    ("inf", replace("Quenby.CopyFiles           = 12", "Quenby.CopyFiles           = 13"), "DIRIDs", "a Windows 7 package"),
    ("inf", replace("Quenby.CoInstallerCopyFiles = 11", "Quenby.CoInstallerCopyFiles = 12"), "DIRIDs", "not 11"),
    ("inf", replace("ServiceBinary = %12%\\quenby.sys", "ServiceBinary = %11%\\quenby.sys"), "DIRIDs", "ServiceBinary"),
    ("inf", replace("HKR,,DeviceCharacteristics,0x10001,0x100", "HKR,,DeviceCharacteristics,0x10001,0x0"),
     "namespace security", "FILE_DEVICE_SECURE_OPEN"),
    ("inf", replace("[Quenby.Install.Win7.NTamd64.HW]", "[Quenby.Install.Win7.NTamd64.Hw_]"), "namespace security",
     "[Quenby.Install.Win7.NTamd64.HW] sets no Security"),
]


def problems(inf_text, project_text, tmp):
    inf, project = os.path.join(tmp, "quenby.inf"), os.path.join(tmp, "quenby.vcxproj")
    open(inf, "w").write(inf_text)
    open(project, "w").write(project_text)
    return windows_package.check(inf, project)


def main():
    import tempfile
    inf_text, project_text = open(INF).read(), open(PROJECT).read()
    failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        # The tree's own files hold every rule.
        base = problems(inf_text, project_text, tmp)
        if base:
            print("FAIL: the tree's INF and project break rules: %s" % base)
            failed += 1
        for where, fault, rule, words in CASES:
            text = fault(inf_text if where == "inf" else project_text)
            if text is None:
                print("FAIL: the fault for '%s' (%s) no longer applies to the tree's %s" % (rule, words, where))
                failed += 1
                continue
            got = problems(text, project_text, tmp) if where == "inf" else problems(inf_text, text, tmp)
            if not any(p.startswith(rule + ":") and words in p for p in got):
                print("FAIL: '%s' did not report '%s'; reported: %s" % (rule, words, got))
                failed += 1
    print("%d cases, %d failed" % (len(CASES) + 1, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
