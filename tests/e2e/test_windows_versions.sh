#!/usr/bin/env bash
# The report's osmajor, osminor and system fields under Wine set to Windows
# XP, 7, 8 and 10, against the description rules applied here to what a
# probe of ours reads in the same prefix. Without a compatibility manifest
# Windows 10 reports itself as 6.2, as it should.
source "$(dirname "$0")/lib.sh"
trap 'stop_listener; cleanup' EXIT
new_prefix
for version in winxp win7 win8 win10; do
  wine_run reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d $version /f >/dev/null 2>&1
  probe=$(wine_run "$QV_BUILD_DIR/qvver.exe" | tr -d '\r')
  start_listener ok
  check "$version: installer exits 0" run_installer "$QV_SAMPLE_INSTALLER"
  stop_listener
  check "$version: one report" test "$(requests)" -eq 1
  req=$(ls "$T/requests"/*.req 2>/dev/null | head -1)
  check "$version: fields match the probe ($(cut -f1,2 <<<"$probe" | tr '\t' .))" python3 - "$req" "$probe" "$version" <<'PY'
import sys
req, probe, version = sys.argv[1], sys.argv[2].split("\t"), sys.argv[3]
major, minor, build, platform, spmaj, spmin, suite, ptype, arch, pinfo, r2 = map(int, probe[:11])
csd = probe[11] if len(probe) > 11 else ""
editions = {1: "Ultimate Edition", 2: "Home Basic Edition", 3: "Home Premium Edition", 4: "Enterprise Edition",
            6: "Business Edition", 7: "Standard Edition", 8: "Datacenter Edition", 9: "Small Business Server",
            10: "Enterprise Edition", 11: "Starter Edition", 12: "Datacenter Edition (core installation)",
            13: "Standard Edition (core installation)", 14: "Enterprise Edition (core installation)",
            15: "Enterprise Edition for Itanium-based Systems", 17: "Web Server Edition", 18: "Cluster Server Edition",
            25: "Small Business Server Premium Edition", 47: "Starter Edition", 48: "Professional Edition",
            49: "Professional Edition"}
text = "Microsoft "
if major == 5 and minor == 1:
    text += "Windows XP " + ("Home Edition" if suite & 0x200 else "Professional")
elif major == 6:
    text += {0: "Windows Vista " if ptype == 1 else "Windows Server 2008 ", 1: "Windows 7 ", 2: "Windows 8 "}.get(minor, "")
    text += editions.get(pinfo, "Unknown")
    text += {9: ", 64-bit", 0: ", 32-bit"}.get(arch, "")
else:
    sys.exit("no rule here for %d.%d" % (major, minor))
if csd:
    text += " " + csd
text += " (build %d)" % build
expected_version = {"winxp": (5, 1), "win7": (6, 1), "win8": (6, 2), "win10": (6, 2)}[version]
fields = dict(p.split("=", 1) for p in open(req, "rb").read().split(b"\r\n\r\n", 1)[1].decode("gbk").split("&"))
problems = []
if (major, minor) != expected_version:
    problems.append("Wine reports %d.%d for %s" % (major, minor, version))
if (fields["osmajor"], fields["osminor"]) != (str(major), str(minor)):
    problems.append("posted %s.%s" % (fields["osmajor"], fields["osminor"]))
if fields["system"] != text:
    problems.append("system %r, rules give %r" % (fields["system"], text))
print("  system=" + fields["system"])
for p in problems:
    print("  " + p)
sys.exit(1 if problems else 0)
PY
done
finish
